-- Kill streaks: announces a player's 3rd, 5th and 10th kill in a row without dying.
local streaks = {}
local words = { [3] = 'is on a killing spree', [5] = 'is unstoppable', [10] = 'is godlike' }

varn.on('kill', function(killer, victim)
  if killer.id == victim.id then return end
  streaks[killer.id] = (streaks[killer.id] or 0) + 1
  local said = words[streaks[killer.id]]
  if said then varn.broadcast(killer.name .. ' ' .. said .. ' (' .. streaks[killer.id] .. ' kills)') end
end)

varn.on('death', function(victim) streaks[victim.id] = 0 end)
varn.on('leave', function(player) streaks[player.id] = nil end)
