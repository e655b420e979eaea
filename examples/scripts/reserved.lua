-- Reserved slots: the last two places are kept for the listed names; others are refused as when the
-- server is full.
local reserved = { vip = true, moderator = true }
local kept = 2

varn.decide('join', function(request)
  if reserved[request.name] then return end
  if #varn.players() >= varn.settings.maxPlayers - kept then return 'full' end
end)
