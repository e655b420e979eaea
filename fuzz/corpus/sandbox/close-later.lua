local co
varn.on("second", function() if co then print(pcall(coroutine.close, co)) end co = coroutine.create(function() local x <close> = setmetatable({}, {__close = function() while true do end end}) while true do end end) coroutine.resume(co) end)
