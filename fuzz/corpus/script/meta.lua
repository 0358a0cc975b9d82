return { [0] = setmetatable({}, { __index = function(t, k) return #k end }), [3] = 5 }
