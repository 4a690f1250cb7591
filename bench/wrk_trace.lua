-- wrk script of bench/load_bench.py: replays a panning trace of many map
-- clients against the tile service.
--
-- Environment:
--   TRACE_FILE   lines "client<TAB>path" (bench/load_bench.py writes them)
--   TRACE_DELAY  milliseconds each connection waits before its next request
--                (0: as fast as the server answers)
--   TRACE_LIMIT  requests a thread sends at most (0: the whole trace share)
--   TRACE_CYCLE  1: start the share (or its first TRACE_LIMIT requests) again
--                when it is done, until wrk's -d
--   TRACE_THREADS  wrk's -t
--   TRACE_GZIP   1: every request asks for gzip (Accept-Encoding)
--
-- Every simulated client is one address (X-Forwarded-For), so the server's
-- per-client limit applies to it as to a real browser behind a proxy. Thread t
-- of n replays the clients c with c % n == t, taking their requests in turn,
-- and stops when its share of the trace is done (or at wrk's -d); requests
-- still in flight then are not counted.
-- done() prints one line "RESULT {json}" with the figures.

local threads = {}
local counter = 0

function setup(thread)
  thread:set("tid", counter)
  counter = counter + 1
  table.insert(threads, thread)
end

function init(args)
  local nthreads = tonumber(os.getenv("TRACE_THREADS") or "1")
  tid = tid or 0
  local file = assert(io.open(os.getenv("TRACE_FILE"), "r"))
  local by_client = {}
  local clients = {}
  for line in file:lines() do
    local client, path = line:match("^(%d+)\t(.+)$")
    client = tonumber(client)
    if client and client % nthreads == tid then
      if by_client[client] == nil then
        by_client[client] = {}
        table.insert(clients, client)
      end
      table.insert(by_client[client], path)
    end
  end
  file:close()
  -- Requests of this thread in the order it sends them: client by client in
  -- turn, each client's own walk in its order.
  queue = {}
  local position = 1
  local left = true
  while left do
    left = false
    for _, client in ipairs(clients) do
      local path = by_client[client][position]
      if path then
        left = true
        table.insert(queue, {client, path})
      end
    end
    position = position + 1
  end
  limit = tonumber(os.getenv("TRACE_LIMIT") or "0")
  if limit == 0 or limit > #queue then limit = #queue end
  length = limit
  if os.getenv("TRACE_CYCLE") == "1" then limit = math.huge end
  pause = tonumber(os.getenv("TRACE_DELAY") or "0")
  sent = 0
  stopped = false
  statuses = {}
  hits = 0
  edge_hits = 0
  gzip = os.getenv("TRACE_GZIP") == "1"
  last = nil
end

function request()
  if sent >= limit then
    -- wrk itself runs until -d: the driver ends it (SIGINT) once every
    -- thread has said it is done, so that the duration is the real one.
    if not stopped then
      stopped = true
      io.write("THREAD-DONE\n")
      io.flush()
      wrk.thread:stop()
    end
    return last
  end
  sent = sent + 1
  local entry = queue[(sent - 1) % length + 1]
  local headers = {}
  headers["X-Forwarded-For"] = "10.77." .. math.floor(entry[1] / 250) .. "." .. (entry[1] % 250 + 1)
  if gzip then headers["Accept-Encoding"] = "gzip" end
  last = wrk.format("GET", entry[2], headers)
  return last
end

function delay()
  return pause
end

function response(status, headers, body)
  local key = tostring(status)
  statuses[key] = (statuses[key] or 0) + 1
  if headers["X-Cache"] == "HIT" or headers["x-cache"] == "HIT" then hits = hits + 1 end
  -- answered by nginx's edge cache (scripts/serve.sh)
  if headers["X-Edge-Cache"] == "HIT" then edge_hits = edge_hits + 1 end
end

local function quantile(latency, q)
  return latency:percentile(q) / 1000.0
end

function done(summary, latency, requests)
  local total = {}
  local all_hits = 0
  local all_edge_hits = 0
  local all_sent = 0
  for _, thread in ipairs(threads) do
    local s = thread:get("statuses")
    for k, v in pairs(s) do total[k] = (total[k] or 0) + v end
    all_hits = all_hits + thread:get("hits")
    all_edge_hits = all_edge_hits + thread:get("edge_hits")
    all_sent = all_sent + thread:get("sent")
  end
  local parts = {}
  for k, v in pairs(total) do table.insert(parts, string.format('"%s": %d', k, v)) end
  local e = summary.errors
  io.write(string.format(
    'RESULT {"requests": %d, "duration_s": %.3f, "p50_ms": %.2f, "p90_ms": %.2f, "p99_ms": %.2f, ' ..
    '"max_ms": %.2f, "mean_ms": %.2f, "hits": %d, "edge_hits": %d, "sent": %d, "statuses": {%s}, ' ..
    '"socket_errors": {"connect": %d, "read": %d, "write": %d, "timeout": %d}}\n',
    summary.requests, summary.duration / 1e6, quantile(latency, 50), quantile(latency, 90),
    quantile(latency, 99), latency.max / 1000.0, latency.mean / 1000.0, all_hits, all_edge_hits, all_sent,
    table.concat(parts, ", "), e.connect, e.read, e.write, e.timeout))
end
