-- wrk script: counts answers that are not the form page (a message page, a
-- server error), and prints their number when the run is done.
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  unexpected = 0
end

function response(status, headers, body)
  if status ~= 200 or not string.find(body, "</form>", 1, true) then
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
