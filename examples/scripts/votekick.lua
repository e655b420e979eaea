-- Vote-kick: "/votekick <name>" votes to kick a player; more than half of the players kicks them.
-- A vote ends after 60 seconds, and a player voted out of a failed vote cannot be voted on for 120.
local vote = nil
local cooldown = {}

local function findByName(name)
  for _, player in ipairs(varn.players()) do
    if player.name:lower() == name:lower() then return player end
  end
end

varn.command('votekick', function(player, rest)
  local target = findByName(rest)
  if not target then return varn.send(player, 'No player named ' .. rest) end
  local now = os.time()
  if cooldown[target.name] and now < cooldown[target.name] then
    return varn.send(player, 'No new vote on ' .. target.name .. ' yet')
  end
  if not vote or vote.target ~= target.id then
    if vote then return varn.send(player, 'A vote on ' .. vote.name .. ' is running') end
    vote = { target = target.id, name = target.name, voters = {}, count = 0, ends = now + 60 }
    varn.broadcast(player.name .. ' started a vote to kick ' .. target.name .. ': /votekick ' .. target.name)
  end
  if vote.voters[player.id] then return end
  vote.voters[player.id] = true
  vote.count = vote.count + 1
  if vote.count * 2 > #varn.players() then
    varn.broadcast(vote.name .. ' was voted out')
    varn.kick(vote.target)
    vote = nil
  end
end)

varn.on('second', function()
  if vote and os.time() >= vote.ends then
    varn.broadcast('The vote on ' .. vote.name .. ' failed')
    cooldown[vote.name] = os.time() + 120
    vote = nil
  end
end)

varn.on('leave', function(player)
  if vote and vote.target == player.id then vote = nil end
end)
