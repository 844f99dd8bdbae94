-- Puts a process's active bans back into a store that lost them (a new ban epoch),
-- keeping any longer ban already there, bumps the version once and tells the other
-- processes to load the whole set again.
-- KEYS[1] ban set, KEYS[2] version counter, KEYS[3] ban epoch, KEYS[4] recent unbans
-- (an address unbanned since the loss stays unbanned)
-- ARGV[1] channel, ARGV[2] the epoch these bans are merged into, then pairs of
-- address and remaining seconds
-- Reply: {version, epoch}; version -1 when the epoch is no longer ARGV[2] (merge again)
local epoch = redis.call('GET', KEYS[3])
if epoch ~= ARGV[2] then
  return {-1, epoch or ''}
end
local t = redis.call('TIME')
local now = tonumber(t[1]) + tonumber(t[2]) / 1000000
for i = 3, #ARGV - 1, 2 do
  if not redis.call('ZSCORE', KEYS[4], ARGV[i]) then
    redis.call('ZADD', KEYS[1], 'GT', string.format('%.6f', now + tonumber(ARGV[i + 1])), ARGV[i])
  end
end
local version = redis.call('INCR', KEYS[2])
redis.call('PUBLISH', ARGV[1], 'r ' .. epoch .. ' ' .. version)
return {version, epoch}
