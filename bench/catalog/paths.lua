-- wrk: requests the paths listed in a file, each thread its own share in turn, so that no
-- path is asked for twice; from the path at OFFSET (0) on. A thread that reaches the end of
-- the list stops rather than start it again, and the run then prints "list ended": its rate
-- is not that of the whole run. With "wrap", the threads start the list again instead, and
-- the run prints "list wrapped round: N requests asked again". With "partial", answers with
-- the header X-Larkspin-Partial (a front that left a shard out) are counted, and the run prints
-- "partial answers: N".
--   wrk -s paths.lua URL -- FILE [OFFSET [wrap|partial]]
local threads = {}
local counter = 0

function setup(thread)
    thread:set("id", counter)
    counter = counter + 1
    table.insert(threads, thread)
end

function init(args)
    paths = {}
    for line in io.lines(args[1]) do
        paths[#paths + 1] = line
    end
    step = 2
    index = id + tonumber(args[2] or 0)
    wrap = args[3] == "wrap"
    ended = 0
    again = 0
    partial = 0
    if args[3] == "partial" then
        response = function(status, headers, body)
            if headers["X-Larkspin-Partial"] then
                partial = partial + 1
            end
        end
    end
end

function request()
    if index >= #paths then
        if not wrap then
            -- The thread stops once this call returns; the request it returns may still go out.
            ended = 1
            wrk.thread:stop()
            return wrk.format("GET", paths[#paths])
        end
        again = again + 1
    end
    local path = paths[(index % #paths) + 1]
    index = index + step
    return wrk.format("GET", path)
end

function done(summary, latency, requests)
    local stopped, total, partial = false, 0, 0
    for _, thread in ipairs(threads) do
        stopped = stopped or thread:get("ended") == 1
        total = total + thread:get("again")
        partial = partial + thread:get("partial")
    end
    if partial > 0 then
        print("partial answers: " .. partial)
    end
    if stopped then
        print("list ended: a thread ran out of paths before the time was up")
    end
    if total > 0 then
        print("list wrapped round: " .. total .. " requests asked again")
    end
    -- The tail, for the slowest of many shards: milliseconds.
    print(string.format("tail: p90 %.2f p99 %.2f p99.9 %.2f p99.99 %.2f max %.2f",
        latency:percentile(90) / 1000, latency:percentile(99) / 1000,
        latency:percentile(99.9) / 1000, latency:percentile(99.99) / 1000, latency.max / 1000))
end
