-- Reads every active ban with the epoch and version it belongs to, in one atomic step.
-- KEYS[1] ban set, KEYS[2] version counter, KEYS[3] ban epoch (made when missing)
-- ARGV[1] a fresh epoch id
-- Reply: {epoch, version, store time as text, {address, end time, address, end time, ...}}
local epoch = redis.call('GET', KEYS[3])
if not epoch then
  epoch = ARGV[1]
  redis.call('SET', KEYS[3], epoch)
end
local t = redis.call('TIME')
local now = string.format('%.6f', tonumber(t[1]) + tonumber(t[2]) / 1000000)
local version = redis.call('GET', KEYS[2]) or '0'
local members = redis.call('ZRANGE', KEYS[1], '(' .. now, '+inf', 'BYSCORE', 'WITHSCORES')
return {epoch, version, now, members}
