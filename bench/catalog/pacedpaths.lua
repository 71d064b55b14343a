-- wrk: requests the paths listed in a file in turn, none twice while the list lasts, each
-- connection waiting DELAY milliseconds before each request, so that the load stays what
-- the caller chose rather than all the service can answer. Should the list run out, it starts
-- again, and the run prints "list wrapped round: N requests asked again" at its end.
--   wrk -t1 -s pacedpaths.lua URL -- FILE DELAY
local threads = {}

function setup(thread)
    table.insert(threads, thread)
end

function init(args)
    paths = {}
    for line in io.lines(args[1]) do
        paths[#paths + 1] = line
    end
    pause = tonumber(args[2] or "0")
    index = 0
    again = 0
end

function delay()
    return pause
end

function request()
    if index >= #paths then
        again = again + 1
    end
    local path = paths[(index % #paths) + 1]
    index = index + 1
    return wrk.format("GET", path)
end

function done(summary, latency, requests)
    local total = 0
    for _, thread in ipairs(threads) do
        total = total + thread:get("again")
    end
    if total > 0 then
        print("list wrapped round: " .. total .. " requests asked again")
    end
end
