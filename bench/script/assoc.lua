local m = {}
for i = 0, 49999 do m["k" .. i] = i end
local s = 0
for j = 0, 49999 do s = (s + m["k" .. j]) % 1000003 end
print(s)
