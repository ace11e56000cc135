local hits = 0
for i = 0, 49999 do
  local subject = "user" .. i .. "@example.com"
  if i % 7 == 0 then subject = "user" .. i .. "@example.net" end
  if string.match(subject, "^user%d+@example%.com$") then hits = hits + 1 end
end
print(hits)
