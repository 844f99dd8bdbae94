-- Reads every active ban with the version it belongs to, in one atomic step.
-- KEYS[1] ban set, KEYS[2] version counter
-- Reply: {version, store time as text, {address, end time, address, end time, ...}}
local t = redis.call('TIME')
local now = string.format('%.6f', tonumber(t[1]) + tonumber(t[2]) / 1000000)
local version = redis.call('GET', KEYS[2]) or '0'
local members = redis.call('ZRANGE', KEYS[1], '(' .. now, '+inf', 'BYSCORE', 'WITHSCORES')
return {version, now, members}
