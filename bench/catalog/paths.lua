-- wrk: requests the paths listed in a file, each thread its own share in turn, so that no
-- path is asked for twice while the list lasts; from the path at OFFSET (0) on.
--   wrk -s paths.lua URL -- FILE [OFFSET]
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
end

function request()
    local path = paths[(index % #paths) + 1]
    index = index + step
    return wrk.format("GET", path)
end
