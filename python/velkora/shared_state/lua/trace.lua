-- Looks up the sessions a new trace repeats and records the new session, in one atomic
-- step; or, for a retry, returns the outcome its first answer had and writes nothing.
-- The same rules, in the same order, as velkora.trace_memory.TraceMemory; the calls to
-- the store are batched (HMGET, ZMSCORE, one HSET) because each costs about a microsecond.
-- KEYS[1] sessions (sorted set: id -> time), KEYS[2] records (hash: id -> record),
-- KEYS[3] band entries (hash: field -> ids, oldest first), KEYS[4] clients (hash: client
-- digest -> ids, oldest first), KEYS[5] this session's kept outcome
-- ARGV[1] 'n' (new session) or 'r' (retry), ARGV[2] time in seconds ('' for the store's
-- clock), ARGV[3] TTL s, ARGV[4] sessions per client, ARGV[5] sessions overall,
-- ARGV[6] match threshold, ARGV[7] outcome TTL ms, ARGV[8] candidates per modality,
-- ARGV[9] ids per band entry, ARGV[10] sweep budget, ARGV[11] eviction budget,
-- ARGV[12] session id (8 bytes), ARGV[13] client digest (8 bytes), ARGV[14] record
-- Reply: {matches, seconds since the most recent match (-1: none), modality mask
-- (1 pointer, 2 keys), sessions held, 1 if recorded else 0}
local S, R, B, C, O = KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5]
local now
if ARGV[2] == '' then
  local t = redis.call('TIME')
  now = tonumber(t[1]) + tonumber(t[2]) / 1000000
else
  now = tonumber(ARGV[2])
end
now = tonumber(string.format('%.6f', now))
local ttl, per_client, max_sessions = tonumber(ARGV[3]), tonumber(ARGV[4]), tonumber(ARGV[5])
local threshold, outcome_ms = tonumber(ARGV[6]), tonumber(ARGV[7])
local max_candidates, bucket_max = tonumber(ARGV[8]), tonumber(ARGV[9])
local sweep_budget, evict_budget = tonumber(ARGV[10]), tonumber(ARGV[11])
local sid, client, rec = ARGV[12], ARGV[13], ARGV[14]

-- A record: version (2 bytes), client digest (8), band counts (1 + 1), signature lengths
-- (2 + 2), band fields from byte 17 (6 bytes each), then signature values (4 bytes each),
-- pointer first. first[m] is the index of modality m's first band among all the bands.
-- signature_of(r, m): modality m's signature length and the byte where it starts, read
-- without making a table (the matching loop calls it per candidate).
local function signature_of(r, m)
  local np, nk, s1, s2, s3, s4 = string.byte(r, 11, 16)
  local sp = s1 * 256 + s2
  if m == 1 then return sp, 17 + 6 * (np + nk) end
  return s3 * 256 + s4, 17 + 6 * (np + nk) + 4 * sp
end

local function layout(r)
  local np, nk = string.byte(r, 11, 12)
  local sp, pat = signature_of(r, 1)
  local sk, kat = signature_of(r, 2)
  return {bands = {np, nk}, first = {0, np}, n = {sp, sk}, at = {pat, kat}, count = np + nk}
end

local function fields_of(r, count)
  local out = {}
  for j = 1, count do out[j] = string.sub(r, 11 + 6 * j, 16 + 6 * j) end
  return out
end

-- IDS without ID (8-byte ids), or nil when it is not there.
local function without(ids, id)
  if ids == id then return '' end
  local from = 1
  while true do
    local i = string.find(ids, id, from, true)
    if not i then return nil end
    if (i - 1) % 8 == 0 then
      return string.sub(ids, 1, i - 1) .. string.sub(ids, i + 8)
    end
    from = i + 1
  end
end

-- Takes ID out of the lists under KEYS_ of HASH: one read, one write, one delete at most.
local function drop_from(hash, keys_, id)
  if #keys_ == 0 then return end
  local lists = redis.call('HMGET', hash, unpack(keys_))
  local set, gone = {}, {}
  for j, key in ipairs(keys_) do
    local rest = lists[j] and without(lists[j], id)
    if rest then
      if rest == '' then gone[#gone + 1] = key else set[#set + 1] = key; set[#set + 1] = rest end
    end
  end
  if #set > 0 then redis.call('HSET', hash, unpack(set)) end
  if #gone > 0 then redis.call('HDEL', hash, unpack(gone)) end
end

-- Removes a session with its band entries and its place in its client's list.
local function evict(id)
  local r = redis.call('HGET', R, id)
  if r then
    drop_from(B, fields_of(r, layout(r).count), id)
    drop_from(C, {string.sub(r, 3, 10)}, id)
    redis.call('HDEL', R, id)
  end
  redis.call('ZREM', S, id)
end

if ARGV[1] == 'r' or redis.call('HEXISTS', R, sid) == 1 then
  -- The kept outcome holds its own end time, so that it ends by the same clock as the rest.
  local kept = redis.call('GET', O)
  local m, s, mask = 0, -1, 0
  if kept then
    local a, b, c, e = string.match(kept, '^(%d+) (%-?%d+) (%d+) ([%d%.]+)$')
    if e and tonumber(e) > now then m, s, mask = tonumber(a), tonumber(b), tonumber(c) end
  end
  return {m, s, mask, redis.call('ZCARD', S), 0}
end

local cutoff = tonumber(string.format('%.6f', now - ttl))
local expired = redis.call('ZRANGEBYSCORE', S, '-inf', string.format('%.6f', cutoff), 'LIMIT', 0, sweep_budget)
for _, id in ipairs(expired) do evict(id) end

-- Candidates: per modality, band by band, the sessions under each band newest first,
-- distinct, at most max_candidates; their records and times fetched together.
local l = layout(rec)
local fields = fields_of(rec, l.count)
local lists = {}
if l.count > 0 then lists = redis.call('HMGET', B, unpack(fields)) end
local candidates, wanted, known = {{}, {}}, {}, {}
for m = 1, 2 do
  if l.bands[m] > 0 and l.n[m] > 0 then
    local seen, found = {}, candidates[m]
    for j = l.first[m] + 1, l.first[m] + l.bands[m] do
      local ids = lists[j]
      if ids and #found < max_candidates then
        for i = #ids - 7, 1, -8 do
          local id = string.sub(ids, i, i + 7)
          if not seen[id] then
            seen[id] = true
            found[#found + 1] = id
            if not known[id] then known[id] = true; wanted[#wanted + 1] = id end
            if #found >= max_candidates then break end
          end
        end
      end
    end
  end
end
local records, times = {}, {}
if #wanted > 0 then
  local rs = redis.call('HMGET', R, unpack(wanted))
  local ts = redis.call('ZMSCORE', S, unpack(wanted))
  for i, id in ipairs(wanted) do
    records[id] = rs[i]
    times[id] = ts[i] and tonumber(ts[i])
  end
end

-- Matches: the share of equal signature positions reaches the threshold. An identical
-- signature is one comparison; otherwise position by position, stopping as soon as the
-- answer is certain.
local matched, matched_count, last = {}, 0, nil
local hits = {false, false}
local version = string.sub(rec, 1, 2)
for m = 1, 2 do
  local n, at = l.n[m], l.at[m]
  local whole, own = nil, nil
  for _, id in ipairs(candidates[m]) do
    local r, t = records[id], times[id]
    if r and t and t > cutoff and string.sub(r, 1, 2) == version then
      local cn, cat = signature_of(r, m)
      if cn == n then
        whole = whole or string.sub(rec, at, at + 4 * n - 1)
        -- An identical signature: found where it starts, without copying it out.
        local hit = string.find(r, whole, cat, true) == cat
        if not hit then
          if not own then
            own = {}
            for i = 0, n - 1 do own[i] = string.sub(rec, at + 4 * i, at + 4 * i + 3) end
          end
          local same = 0
          for i = 0, n - 1 do
            if string.sub(r, cat + 4 * i, cat + 4 * i + 3) == own[i] then same = same + 1 end
            if same / n >= threshold then hit = true; break end
            if (same + n - 1 - i) / n < threshold then break end
          end
        end
        if hit then
          if not matched[id] then matched[id] = true; matched_count = matched_count + 1 end
          if last == nil or t > last then last = t end
          hits[m] = true
        end
      end
    end
  end
end

-- The new session: its record, time, band entries (each keeping its newest ids) and its
-- place in its client's list; then the caps, within the eviction budget.
redis.call('HSET', R, sid, rec)
redis.call('ZADD', S, string.format('%.6f', now), sid)
if l.count > 0 then
  local limit, args = 8 * bucket_max, {}
  for j = 1, l.count do
    local ids = (lists[j] or '') .. sid
    if #ids > limit then ids = string.sub(ids, #ids - limit + 1) end
    args[2 * j - 1] = fields[j]
    args[2 * j] = ids
  end
  redis.call('HSET', B, unpack(args))
end
local mine = (redis.call('HGET', C, client) or '') .. sid
redis.call('HSET', C, client, mine)
local budget = evict_budget
while #mine > 8 * per_client and budget > 0 do
  evict(string.sub(mine, 1, 8))
  budget = budget - 1
  mine = redis.call('HGET', C, client) or ''
end
while budget > 0 and redis.call('ZCARD', S) > max_sessions do
  evict(redis.call('ZRANGE', S, 0, 0)[1])
  budget = budget - 1
end

local mask = (hits[1] and 1 or 0) + (hits[2] and 2 or 0)
local seen_sec = -1
if matched_count > 0 then
  seen_sec = math.floor(now - last)
  if seen_sec < 0 then seen_sec = 0 end
  local ends = string.format('%.6f', now + outcome_ms / 1000)
  redis.call('SET', O, matched_count .. ' ' .. seen_sec .. ' ' .. mask .. ' ' .. ends, 'PX', outcome_ms)
end
return {matched_count, seen_sec, mask, redis.call('ZCARD', S), 1}
