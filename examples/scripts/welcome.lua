-- Welcome: greets each player who joins and answers /help with the commands of the shipped examples.
local help = {
  '/help: this list',
  '/top: the three best scores of this session',
  '/stats: your score, ping and time idle',
  '/votekick <name>: vote to kick a player',
}

varn.on('join', function(player)
  varn.send(player, 'Welcome to ' .. varn.settings.serverName .. ', ' .. player.name .. '! Type /help for commands.')
end)

varn.command('help', function(player)
  for _, line in ipairs(help) do varn.send(player, line) end
end)
