varn.on("second", function() xpcall(function() while true do end end, function() while true do end end) end)
