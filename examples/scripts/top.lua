-- Scores: /top lists the three best scores of this session, /stats a player's own numbers.
varn.command('top', function(player)
  local players = varn.players()
  table.sort(players, function(a, b) return a.score > b.score end)
  for place = 1, math.min(3, #players) do
    varn.send(player, place .. '. ' .. players[place].name .. ' ' .. players[place].score)
  end
end)

varn.command('stats', function(player)
  varn.send(player, player.name .. ': score ' .. player.score .. ', ping ' .. player.ping .. ' ms, idle ' .. player.idle .. ' s')
end)
