-- Word filter with strikes: a chat text with a listed word is not relayed; the player is warned,
-- kicked at the second strike and banned for a day at the third. Strikes are kept in the store.
local words = { 'badword', 'worseword' }

local function hasListedWord(text)
  local lower = text:lower()
  for _, word in ipairs(words) do
    if lower:find(word, 1, true) then return true end
  end
  return false
end

varn.decide('chat', function(player, text)
  if not hasListedWord(text) then return end
  local key = 'strikes:' .. player.ip
  local strikes = (varn.store.get(key) or 0) + 1
  varn.store.set(key, strikes)
  if strikes == 1 then
    varn.send(player, 'Mind your words, ' .. player.name .. ': the next time you are kicked.')
  elseif strikes == 2 then
    varn.kick(player)
  else
    varn.store.set(key, nil)
    varn.ban(player, 24 * 60, 'language')
  end
  return 'swallow'
end)
