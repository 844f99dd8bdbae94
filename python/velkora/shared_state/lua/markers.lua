-- The epoch markers of some groups of nonce keys, each made when missing (see claim.lua).
-- KEYS: markers (of one slot on a Cluster)
-- Reply: the markers' values, in the order of KEYS, then the store time
local t = redis.call('TIME')
local made = t[1] .. '.' .. string.format('%06d', tonumber(t[2]))
local values = {}
for i, key in ipairs(KEYS) do
  local marker = redis.call('GET', key)
  if not marker then
    marker = made
    redis.call('SET', key, marker)
  end
  values[i] = marker
end
values[#KEYS + 1] = made
return values
