-- wrk script of scripts/bench-serve.sh: every request asks /lookup for the
-- next query value (already URL-encoded) of the file named by FONWERK_NUMBERS,
-- each thread starting at another place. At the end one line with the exact
-- figures: median and p99 in microseconds, requests, seconds, failures.
local numbers = {}
local next_index = 1

function init(args)
  for line in io.lines(os.getenv("FONWERK_NUMBERS")) do
    numbers[#numbers + 1] = line
  end
  math.randomseed(os.time() + tonumber(tostring({}):sub(8), 16))
  next_index = math.random(#numbers)
end

function request()
  next_index = next_index % #numbers + 1
  return wrk.format("GET", "/lookup?number=" .. numbers[next_index])
end

function done(summary, latency, requests)
  local failures = summary.errors.connect + summary.errors.read + summary.errors.write
      + summary.errors.status + summary.errors.timeout
  io.write(string.format("FONWERK median_us=%d p90_us=%d p99_us=%d max_us=%d requests=%d seconds=%.3f failures=%d\n",
    latency:percentile(50), latency:percentile(90), latency:percentile(99), latency.max,
    summary.requests, summary.duration / 1e6, failures))
end
