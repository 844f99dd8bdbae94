-- Bans an address for a number of seconds by the store's clock, keeping any longer ban
-- already in place, so that concurrent bans of one address end at the latest end time
-- whatever their order of arrival. Drops expired members, bumps the version counter
-- and publishes the change with the ban epoch and the *remaining* seconds (never an
-- absolute time, so the receivers' clocks do not matter).
-- KEYS[1] ban set (score: end time in store seconds), KEYS[2] version counter,
-- KEYS[3] ban epoch (a random id, made when missing: a store that lost the ban set
-- lost it too, and versions count afresh in a new epoch), KEYS[4] recent unbans (a ban
-- clears the address's entry there)
-- ARGV[1] address, ARGV[2] duration in seconds, ARGV[3] channel, ARGV[4] a fresh epoch id
-- Reply: {version, remaining seconds as text, epoch}
local epoch = redis.call('GET', KEYS[3])
if not epoch then
  epoch = ARGV[4]
  redis.call('SET', KEYS[3], epoch)
end
local t = redis.call('TIME')
local now = tonumber(t[1]) + tonumber(t[2]) / 1000000
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', string.format('%.6f', now))
redis.call('ZADD', KEYS[1], 'GT', string.format('%.6f', now + tonumber(ARGV[2])), ARGV[1])
redis.call('ZREM', KEYS[4], ARGV[1])
local score = tonumber(redis.call('ZSCORE', KEYS[1], ARGV[1]))
local version = redis.call('INCR', KEYS[2])
local remaining = string.format('%.6f', score - now)
redis.call('PUBLISH', ARGV[3], 'b ' .. epoch .. ' ' .. version .. ' ' .. remaining .. ' ' .. ARGV[1])
return {version, remaining, epoch}
