-- Lifts the ban of an address, drops expired members, bumps the version counter and
-- publishes the change.
-- KEYS[1] ban set, KEYS[2] version counter; ARGV[1] address, ARGV[2] channel
-- Reply: the new version
local t = redis.call('TIME')
local now = tonumber(t[1]) + tonumber(t[2]) / 1000000
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', string.format('%.6f', now))
redis.call('ZREM', KEYS[1], ARGV[1])
local version = redis.call('INCR', KEYS[2])
redis.call('PUBLISH', ARGV[2], 'u ' .. version .. ' ' .. ARGV[1])
return version
