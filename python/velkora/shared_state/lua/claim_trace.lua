-- The claim of a nonce and, when it lets the request through, the trace memory's look-up
-- and record of its session, in one atomic step: one round trip where every key is on
-- one node. claim (claim.lua) and trace (trace.lua) are those scripts as functions,
-- prepended by the layer. The trace step runs only when this call consumed the nonce
-- ('n') or repeats, with the same value, the call that did and the value carries a tag
-- (a retry: 'r', which writes nothing); a refused claim stores no trace.
-- KEYS[1..2] the claim's (nonce key, epoch marker), KEYS[3..7] the trace script's
-- ARGV[1..3] the claim's (value, seconds, marker last seen), ARGV[4] the token's issue
-- time ('' for none), ARGV[5] '1' when a repeat of the value is a retry,
-- ARGV[6..] the trace script's from its ARGV[2] on (its ARGV[1] is decided here)
-- Reply: {the claim's reply, the trace script's reply or 0 when it did not run}
local issued = ARGV[4]
if issued == '' then issued = nil end
local claimed = claim({KEYS[1], KEYS[2]}, {ARGV[1], ARGV[2], ARGV[3], issued})
local previous = claimed
if type(claimed) == 'table' then
  if claimed[1] == 0 then previous = 0 elseif claimed[1] == 1 then previous = claimed[3] else previous = 2 end
end
local mode
if previous == 0 then
  mode = 'n'
elseif ARGV[5] == '1' and previous == ARGV[1] then
  mode = 'r'
else
  return {claimed, 0}
end
local args = {mode}
for i = 6, #ARGV do args[#args + 1] = ARGV[i] end
return {claimed, trace({KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7]}, args)}
