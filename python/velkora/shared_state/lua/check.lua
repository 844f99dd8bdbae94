-- The sync's periodic look at the store: the ban epoch and version, after one small
-- write, so that a store which answers reads but refuses writes (out of memory, a
-- read-only replica) is seen failing here too.
-- KEYS[1] version counter, KEYS[2] ban epoch, KEYS[3] probe key
-- Reply: {epoch or '', version}
redis.call('SET', KEYS[3], '1', 'PX', '60000')
return {redis.call('GET', KEYS[2]) or '', redis.call('GET', KEYS[1]) or '0'}
