local s = 0
for i = 0, 2999999 do
  if i % 3 == 0 then s = (s + i) % 1000003
  elseif i % 5 == 1 then s = s - 1
  else s = s + 2 end
end
print(s)
