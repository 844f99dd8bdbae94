-- Lifts the ban of an address, drops expired members, bumps the version counter and
-- publishes the change.
-- KEYS[1] ban set, KEYS[2] version counter, KEYS[3] ban epoch (made when missing),
-- KEYS[4] recent unbans (address -> store time), kept an hour, so that bans other
-- processes merge back after a loss of the ban set do not undo an unban made since
-- ARGV[1] address, ARGV[2] channel, ARGV[3] a fresh epoch id
-- Reply: {version, epoch}
local epoch = redis.call('GET', KEYS[3])
if not epoch then
  epoch = ARGV[3]
  redis.call('SET', KEYS[3], epoch)
end
local t = redis.call('TIME')
local now = tonumber(t[1]) + tonumber(t[2]) / 1000000
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', string.format('%.6f', now))
redis.call('ZREM', KEYS[1], ARGV[1])
redis.call('ZREMRANGEBYSCORE', KEYS[4], '-inf', string.format('%.6f', now - 3600))
redis.call('ZADD', KEYS[4], string.format('%.6f', now), ARGV[1])
local version = redis.call('INCR', KEYS[2])
redis.call('PUBLISH', ARGV[2], 'u ' .. epoch .. ' ' .. version .. ' ' .. ARGV[1])
return {version, epoch}
