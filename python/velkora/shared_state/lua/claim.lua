-- Consumes a nonce, checking in the same atomic step that the store still holds what it
-- held when this process last looked: each group of nonce keys has an epoch marker in
-- its own slot (same hash tag), written when missing, so a store that lost its data
-- (restarted without persistence, flushed, a shard emptied) is noticed by the first
-- claim after the loss. The marker is the store time at which it was made.
-- KEYS[1] nonce key, KEYS[2] the epoch marker of its group
-- ARGV[1] value, ARGV[2] seconds to keep it, ARGV[3] the marker the caller last saw,
-- ARGV[4] (optional) the token's issue time in Unix seconds
-- Reply, when the marker is the one the caller saw (the short replies of the common
-- case: the caller parses little): 0 consumed by this call; the stored value when
-- consumed before; 2 the token was issued before the marker was made, nothing stored.
-- Otherwise {0, marker}, {1, marker, value} or {2, marker}.
local marker = redis.call('GET', KEYS[2])
if not marker then
  local t = redis.call('TIME')
  marker = t[1] .. '.' .. string.format('%06d', tonumber(t[2]))
  redis.call('SET', KEYS[2], marker)
end
if ARGV[4] and tonumber(ARGV[4]) < tonumber(marker) then
  if marker == ARGV[3] then return 2 end
  return {2, marker}
end
local previous = redis.call('SET', KEYS[1], ARGV[1], 'NX', 'GET', 'EX', ARGV[2])
if marker == ARGV[3] then
  return previous or 0
end
if previous then
  return {1, marker, previous}
end
return {0, marker}
