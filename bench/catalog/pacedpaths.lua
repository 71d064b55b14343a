-- wrk: requests the paths listed in a file in turn, none twice while the list lasts, each
-- connection waiting DELAY milliseconds before each request, so that the load stays what
-- the caller chose rather than all the service can answer.
--   wrk -t1 -s pacedpaths.lua URL -- FILE DELAY
function init(args)
    paths = {}
    for line in io.lines(args[1]) do
        paths[#paths + 1] = line
    end
    pause = tonumber(args[2] or "0")
    index = 0
end

function delay()
    return pause
end

function request()
    local path = paths[(index % #paths) + 1]
    index = index + 1
    return wrk.format("GET", path)
end
