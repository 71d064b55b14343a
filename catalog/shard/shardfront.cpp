#include "shardfront.h"

#include "fulltextreader.h"
#include "fulltextwriter.h"
#include "searchquery.h"
#include "searchtotals.h"
#include "trackdata.h"
#include "trackweight.h"
#include "xspfwriter.h"

#include <xapian.h>

#include <algorithm>
#include <charconv>

namespace catalog {

namespace {

using Clock = std::chrono::steady_clock;

// A connection asks its shards for their newest revision at most this often, as a node's own
// readers do.
constexpr auto reopenInterval = std::chrono::milliseconds(250);
constexpr auto firstBackoff = std::chrono::milliseconds(1000);
constexpr auto longestBackoff = std::chrono::milliseconds(60000);
constexpr auto checkInterval = std::chrono::milliseconds(1000);
constexpr size_t totalSlots = 16384;

int64_t epochMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool isAddress(const std::string &path)
{
    return path.compare(0, 7, "http://") == 0 || path.compare(0, 8, "https://") == 0;
}

} // namespace

struct ShardFront::Copy
{
    std::string host;
    int port = 0;
    std::string address;
    bool up = true;
    uint64_t epoch = 0; // moves on when the copy goes down: connections drop what they hold
    Clock::time_point retryAt{};
    std::chrono::milliseconds backoff{0};
    int64_t lastAnswer = 0;
    uint64_t documents = 0;
    std::string error;
    // Of the index the copy serves: a node's compacted index takes the place of the old one
    // as a new database, whose revisions start again, so a connection open on the old one may
    // find no newer revision and go on reading the old one.
    std::string uuid;
};

struct ShardFront::Connection
{
    struct Open
    {
        std::unique_ptr<Xapian::Database> db;
        size_t copy = 0;
        uint64_t epoch = 0;
        std::string publicUrl;
        uint64_t documents = 0;
        Clock::time_point reopened{};
    };
    std::vector<Open> shards;
    size_t spread = 0; // which of a shard's copies this connection starts with
};

class ShardFront::Lease
{
public:
    explicit Lease(ShardFront &front)
        : m_front(front)
        , m_connection(front.acquire())
    {}
    ~Lease() { m_front.release(std::move(m_connection)); }
    Connection &get() const { return *m_connection; }

private:
    ShardFront &m_front;
    std::unique_ptr<Connection> m_connection;
};

ShardFront::ShardFront(ShardSettings settings)
    : m_settings(std::move(settings))
    , m_totals(std::make_unique<SearchTotals>(totalSlots))
{
    for (const auto &copies : m_settings.shards) {
        m_firstCopy.push_back(m_copies.size());
        for (const auto &address : copies) {
            Copy copy;
            copy.address = address;
            const size_t colon = address.rfind(':');
            copy.host = address.substr(0, colon);
            if (copy.host.size() > 2 && copy.host.front() == '[' && copy.host.back() == ']')
                copy.host = copy.host.substr(1, copy.host.size() - 2);
            std::from_chars(address.data() + colon + 1, address.data() + address.size(), copy.port);
            m_copies.push_back(std::move(copy));
        }
    }
    m_firstCopy.push_back(m_copies.size());
}

ShardFront::~ShardFront()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_retry.joinable())
        m_retry.join();
}

bool ShardFront::parseShard(const std::string &text, std::vector<std::string> &copies,
                            std::string *error)
{
    copies.clear();
    size_t from = 0;
    for (;;) {
        const size_t bar = text.find('|', from);
        const std::string address = text.substr(from, bar == std::string::npos ? bar : bar - from);
        const size_t colon = address.rfind(':');
        int port = 0;
        const char *end = address.data() + address.size();
        const bool portOk = colon != std::string::npos && colon + 1 < address.size()
                            && std::from_chars(address.data() + colon + 1, end, port).ptr == end
                            && port > 0 && port < 65536;
        if (colon == 0 || !portOk) {
            if (error)
                *error = "bad shard address \"" + address + "\" (expected HOST:PORT)";
            return false;
        }
        copies.push_back(address);
        if (bar == std::string::npos)
            return true;
        from = bar + 1;
    }
}

bool ShardFront::start(std::string *error)
{
    if (m_settings.shards.empty()) {
        if (error)
            *error = "no shards to search";
        return false;
    }
    // A shard that is down at the start is searched once it answers.
    for (size_t copy = 0; copy < m_copies.size(); ++copy) {
        uint64_t documents = 0;
        std::string uuid, why;
        if (!probe(copy, documents, uuid, why)) {
            markDown(copy, why);
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_copies[copy].documents = documents;
        m_copies[copy].uuid = uuid;
        m_copies[copy].lastAnswer = epochMilliseconds();
    }
    m_retry = std::thread([this] { retryLoop(); });
    return true;
}

bool ShardFront::probe(size_t copy, uint64_t &documents, std::string &uuid,
                       std::string &error) const
{
    const auto timeout = unsigned(m_settings.timeout.count());
    try {
        Xapian::Database db = Xapian::Remote::open(m_copies[copy].host,
                                                   unsigned(m_copies[copy].port), timeout, timeout);
        documents = db.get_doccount();
        uuid = db.get_uuid();
        return true;
    } catch (const Xapian::Error &e) {
        error = e.get_description();
        return false;
    }
}

std::unique_ptr<ShardFront::Connection> ShardFront::acquire()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_pool.empty()) {
            auto connection = std::move(m_pool.back());
            m_pool.pop_back();
            return connection;
        }
    }
    auto connection = std::make_unique<Connection>();
    connection->shards.resize(m_settings.shards.size());
    connection->spread = size_t(m_spread++);
    return connection;
}

void ShardFront::release(std::unique_ptr<Connection> connection)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pool.push_back(std::move(connection));
}

bool ShardFront::ensureShard(Connection &connection, size_t shard)
{
    Connection::Open &open = connection.shards[shard];
    const size_t first = m_firstCopy[shard];
    const size_t copies = m_firstCopy[shard + 1] - first;
    for (size_t tried = 0; tried <= copies; ++tried) {
        size_t chosen = SIZE_MAX;
        uint64_t epoch = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (open.db && m_copies[open.copy].up && m_copies[open.copy].epoch == open.epoch) {
                chosen = open.copy;
            } else {
                open.db.reset();
                for (size_t i = 0; i < copies && chosen == SIZE_MAX; ++i) {
                    const size_t copy = first + (connection.spread + i) % copies;
                    if (m_copies[copy].up)
                        chosen = copy;
                }
                if (chosen == SIZE_MAX)
                    return false;
            }
            epoch = m_copies[chosen].epoch;
        }
        try {
            const auto now = Clock::now();
            if (!open.db) {
                const auto timeout = unsigned(m_settings.timeout.count());
                open.db = std::make_unique<Xapian::Database>(Xapian::Remote::open(
                    m_copies[chosen].host, unsigned(m_copies[chosen].port), timeout, timeout));
                open.copy = chosen;
                open.epoch = epoch;
                open.publicUrl = open.db->get_metadata(FullTextWriter::publicUrlKey);
                open.documents = open.db->get_doccount();
                open.reopened = now;
            } else if (now - open.reopened > reopenInterval) {
                if (open.db->reopen()) {
                    open.documents = open.db->get_doccount();
                    ++m_generation;
                }
                open.reopened = now;
            }
            return true;
        } catch (const Xapian::Error &e) {
            open.db.reset();
            markDown(chosen, e.get_description());
        }
    }
    return false;
}

void ShardFront::markDown(size_t copy, const std::string &error)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Copy &down = m_copies[copy];
        if (!down.up)
            return;
        down.up = false;
        ++down.epoch;
        down.backoff
            = down.backoff.count() ? std::min(down.backoff * 2, longestBackoff) : firstBackoff;
        down.retryAt = Clock::now() + down.backoff;
        down.error = error;
    }
    ++m_generation;
    m_wake.notify_all();
}

void ShardFront::failed(Connection &connection, const std::string &context,
                        const std::string &error)
{
    // Xapian names the remote it lost as "remote:tcp(host:port)".
    bool named = false;
    for (size_t copy = 0; copy < m_copies.size(); ++copy) {
        const std::string &address = m_copies[copy].address;
        if (context.find("(" + address + ")") != std::string::npos) {
            markDown(copy, error);
            named = true;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &open : connection.shards) {
        if (!named || (open.db && !m_copies[open.copy].up))
            open.db.reset();
    }
}

void ShardFront::markAnswered(const Connection &connection)
{
    const int64_t now = epochMilliseconds();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto &open : connection.shards) {
        if (open.db) {
            m_copies[open.copy].lastAnswer = now;
            m_copies[open.copy].documents = open.documents;
        }
    }
}

void ShardFront::retryLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto checked = Clock::now();
    while (!m_stopping) {
        // Those down once their back-off is over; those up every checkInterval, for an index
        // put in the place of theirs (see Copy::uuid).
        const bool checkUp = Clock::now() - checked >= checkInterval;
        auto next = (checkUp ? Clock::now() : checked) + checkInterval;
        std::vector<size_t> due;
        for (size_t copy = 0; copy < m_copies.size(); ++copy) {
            if (m_copies[copy].up ? checkUp : m_copies[copy].retryAt <= Clock::now())
                due.push_back(copy);
            else if (!m_copies[copy].up)
                next = std::min(next, m_copies[copy].retryAt);
        }
        if (checkUp)
            checked = Clock::now();
        if (due.empty()) {
            m_wake.wait_until(lock, next);
            continue;
        }
        lock.unlock();
        for (const size_t copy : due) {
            uint64_t documents = 0;
            std::string uuid, error;
            const bool answered = probe(copy, documents, uuid, error);
            std::unique_lock<std::mutex> relock(m_mutex);
            Copy &probed = m_copies[copy];
            if (probed.up) {
                if (answered && uuid != probed.uuid) {
                    // The connections open on the old index let it go at their next search.
                    probed.uuid = uuid;
                    ++probed.epoch;
                    ++m_generation;
                } else if (!answered) {
                    relock.unlock();
                    markDown(copy, error);
                }
            } else if (answered) {
                probed.up = true;
                probed.uuid = uuid;
                probed.backoff = std::chrono::milliseconds(0);
                probed.error.clear();
                probed.documents = documents;
                probed.lastAnswer = epochMilliseconds();
                ++m_generation;
            } else {
                probed.backoff = std::min(probed.backoff * 2, longestBackoff);
                probed.retryAt = Clock::now() + probed.backoff;
                probed.error = error;
            }
        }
        lock.lock();
    }
}

SearchPage ShardFront::search(const SearchQuery &query, int64_t start, int count)
{
    SearchPage page;
    if (query.isEmpty() || start < 0 || count <= 0)
        return page;
    Lease lease(*this);
    Connection &connection = lease.get();
    const size_t shards = m_settings.shards.size();
    // Each failure leaves a copy out; one more try than there are copies ends the loop.
    for (size_t attempt = 0; attempt <= m_copies.size(); ++attempt) {
        page = SearchPage();
        std::vector<size_t> used;
        Xapian::Database all;
        std::string index;
        for (size_t shard = 0; shard < shards; ++shard) {
            if (ensureShard(connection, shard)) {
                all.add_database(*connection.shards[shard].db);
                used.push_back(shard);
                index += m_copies[connection.shards[shard].copy].address + ' ';
            }
        }
        page.partial = used.size() < shards;
        if (used.empty())
            return page;
        try {
            Xapian::Enquire enquire(all);
            enquire.set_weighting_scheme(TrackWeight::stock());
            enquire.set_docid_order(Xapian::Enquire::ASCENDING);
            const uint64_t generation = m_generation;
            enquire.set_query(FullTextReader::stockQuery(
                query.words(), expansion(all, query.words().back(), generation)));
            // The shards count every match once per set of words, for the pages after.
            const auto known = m_totals->find(query.words(), index, generation);
            const auto first = Xapian::doccount(std::min<int64_t>(start, UINT32_MAX));
            Xapian::MSet mset
                = enquire.get_mset(first, Xapian::doccount(count), known ? 0 : all.get_doccount());
            const int64_t total = known ? *known : int64_t(mset.get_matches_estimated());
            if (!known && !page.partial)
                m_totals->insert(query.words(), index, generation, total);
            mset.fetch(mset.begin(), mset.end());
            for (auto it = mset.begin(); it != mset.end(); ++it) {
                auto track = TrackData::decode(it.get_document().get_data());
                if (!track)
                    continue;
                const auto &open = connection.shards[used[(*it - 1) % used.size()]];
                if (!isAddress(track->path))
                    track->path = XspfWriter::location(*track, open.publicUrl);
                page.tracks.push_back(std::move(*track));
            }
            const auto onPage = int64_t(page.tracks.size());
            page.total = onPage < count ? (onPage == 0 ? std::min(total, start) : start + onPage)
                                        : std::max(total, start + onPage);
            markAnswered(connection);
            return page;
        } catch (const Xapian::Error &e) {
            failed(connection, e.get_context(), e.get_description());
        }
    }
    page = SearchPage();
    page.partial = true;
    return page;
}

FullTextReader::Expansion ShardFront::expansion(const Xapian::Database &all,
                                                const std::string &prefix, uint64_t generation)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_expansions.find(prefix);
        if (found != m_expansions.end() && found->second.first == generation)
            return found->second.second;
    }
    // Read from every shard: a list of the words that begin so, and their frequencies.
    FullTextReader::Expansion expansion = FullTextReader::expansion(all, prefix);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_expansions.size() >= maxExpansions)
        m_expansions.clear();
    m_expansions[prefix] = {generation, expansion};
    return expansion;
}

std::optional<TrackRecord> ShardFront::track(int64_t)
{
    // The nodes serve their own files; a front has none.
    return std::nullopt;
}

int64_t ShardFront::trackCount()
{
    int64_t count = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t shard = 0; shard + 1 < m_firstCopy.size(); ++shard) {
        uint64_t documents = 0;
        for (size_t copy = m_firstCopy[shard]; copy < m_firstCopy[shard + 1]; ++copy) {
            if (m_copies[copy].up)
                documents = std::max(documents, m_copies[copy].documents);
        }
        count += int64_t(documents);
    }
    return count;
}

std::vector<ShardStatus> ShardFront::status() const
{
    std::vector<ShardStatus> shards;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t shard = 0; shard + 1 < m_firstCopy.size(); ++shard) {
        ShardStatus status;
        for (size_t copy = m_firstCopy[shard]; copy < m_firstCopy[shard + 1]; ++copy) {
            const Copy &known = m_copies[copy];
            status.copies.push_back({known.address, known.up, known.lastAnswer, known.error});
            if (known.up)
                status.documents = std::max(status.documents, known.documents);
        }
        shards.push_back(std::move(status));
    }
    return shards;
}

} // namespace catalog
