-- wrk script: counts answers that are not the expected page (a message
-- page, a server error), and prints their number when the run is done. The
-- page must hold EXPECT (default "</form>"); with BODY set, each request is
-- a POST of that form body.
local threads = {}
local expect = os.getenv("EXPECT") or "</form>"
local body = os.getenv("BODY")
if body then
  wrk.method = "POST"
  wrk.body = body
  wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
end

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  unexpected = 0
end

function response(status, headers, body)
  if status ~= 200 or not string.find(body, expect, 1, true) then
    unexpected = unexpected + 1
  end
end

function done(summary, latency, requests)
  local total = 0
  for _, thread in ipairs(threads) do
    total = total + thread:get("unexpected")
  end
  io.write(string.format("Unexpected answers: %d\n", total))
end
