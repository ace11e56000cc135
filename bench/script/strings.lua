local s = ""
for i = 0, 19999 do s = s .. "ab" end
local total = 0
for j = 0, 49999 do
  local start = j % 1000
  local t = string.sub(s, start + 1, start + 20)
  total = total + #t
end
print(total + #s)
