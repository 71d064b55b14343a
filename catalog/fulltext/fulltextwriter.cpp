#include "fulltextwriter.h"

#include "searchterms.h"
#include "trackdata.h"
#include "trackweight.h"

#include <xapian.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace catalog {

namespace {

// Bumped whenever the terms or weights change, so that older indexes are rebuilt.
const char *const formatVersion = "3";

// Title and creator count most; the file name usually repeats them.
void addField(std::map<std::string, Xapian::termcount> &terms, const std::string &text,
              Xapian::termcount weight)
{
    for (const auto &word : SearchTerms::words(text))
        terms[word] += weight;
}

} // namespace

FullTextWriter::FullTextWriter() = default;
FullTextWriter::~FullTextWriter() = default;

std::string FullTextWriter::pathFor(const std::string &databasePath)
{
    return databasePath + ".search";
}

bool FullTextWriter::open(const std::string &path, bool *fresh, std::string *error)
{
    m_path = path;
    *fresh = false;
    try {
        try {
            m_db = std::make_unique<Xapian::WritableDatabase>(path, Xapian::DB_CREATE_OR_OPEN
                                                                        | Xapian::DB_NO_SYNC);
            if (m_db->get_metadata("format") != formatVersion
                || m_db->get_metadata("dirty") != "") {
                m_db->close();
                m_db.reset();
            }
        } catch (const Xapian::DatabaseLockError &) {
            // Another process writes to it: its index, never to be made again under it.
            throw;
        } catch (const Xapian::DatabaseError &) {
            m_db.reset();
        }
        if (!m_db) {
            // Whatever is there cannot be trusted; it is made again from the tracks table.
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
            m_db = std::make_unique<Xapian::WritableDatabase>(path, Xapian::DB_CREATE_OR_OVERWRITE
                                                                        | Xapian::DB_NO_SYNC);
            m_db->set_metadata("format", formatVersion);
            m_db->commit();
            *fresh = true;
        } else if (m_db->get_doccount() == 0) {
            *fresh = true;
        }
        m_changed = 0;
        m_compactedCount = m_db->get_doccount();
        return true;
    } catch (const Xapian::Error &e) {
        if (error)
            *error = "search index " + path + ": " + e.get_description();
        return false;
    }
}

void FullTextWriter::put(const TrackRecord &track)
{
    if (!m_db || track.id <= 0 || track.id > int64_t(UINT32_MAX))
        return;
    ++m_changed;
    std::map<std::string, Xapian::termcount> terms;
    addField(terms, track.title, 4);
    addField(terms, track.creator, 4);
    addField(terms, track.album, 2);
    addField(terms, track.fileName, 1);
    // A word counts as much as once in the title, however often it is repeated, so that many
    // tracks reach a word's best weight (see TrackWeight).
    Xapian::Document document;
    for (const auto &[word, weight] : terms)
        document.add_term(word, std::min(weight, TrackWeight::maxWdf));
    document.set_data(TrackData::encode(track));
    try {
        m_db->replace_document(Xapian::docid(track.id), document);
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
    }
}

void FullTextWriter::remove(int64_t id)
{
    if (!m_db || id <= 0 || id > int64_t(UINT32_MAX))
        return;
    ++m_changed;
    try {
        m_db->delete_document(Xapian::docid(id));
    } catch (const Xapian::DocNotFoundError &) {
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
    }
}

void FullTextWriter::clear()
{
    if (!m_db)
        return;
    try {
        for (auto it = m_db->postlist_begin(""); it != m_db->postlist_end(""); ++it)
            m_db->delete_document(*it);
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
    }
}

bool FullTextWriter::begin()
{
    return commit(true);
}

bool FullTextWriter::finish()
{
    if (!commit(false))
        return false;
    if (m_changed >= std::max(compactMinimum, m_compactedCount))
        compact();
    return true;
}

bool FullTextWriter::compact()
{
    namespace fs = std::filesystem;
    const std::string compacted = m_path + ".compact";
    const std::string old = m_path + ".old";
    std::error_code ignored;
    fs::remove_all(compacted, ignored);
    fs::remove_all(old, ignored);
    try {
        m_db->compact(compacted, Xapian::DBCOMPACT_NO_RENUMBER);
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
        fs::remove_all(compacted, ignored);
        return false;
    }
    m_db.reset();
    // A crash between the two renames leaves no index, which the next open() makes again.
    std::error_code failed;
    fs::rename(m_path, old, failed);
    if (!failed) {
        fs::rename(compacted, m_path, failed);
        if (failed)
            fs::rename(old, m_path, ignored);
    }
    fs::remove_all(old, ignored);
    fs::remove_all(compacted, ignored);
    try {
        m_db = std::make_unique<Xapian::WritableDatabase>(m_path,
                                                          Xapian::DB_OPEN | Xapian::DB_NO_SYNC);
        m_changed = 0;
        m_compactedCount = m_db->get_doccount();
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
        return false;
    }
    if (failed)
        m_error = "cannot put the compacted search index in place: " + failed.message();
    return !failed;
}

bool FullTextWriter::setPublicUrl(const std::string &url)
{
    if (!m_db)
        return false;
    try {
        if (m_db->get_metadata(publicUrlKey) != url) {
            m_db->set_metadata(publicUrlKey, url);
            m_db->commit();
        }
        return true;
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
        return false;
    }
}

bool FullTextWriter::commit(bool dirty)
{
    if (!m_db)
        return false;
    try {
        m_db->set_metadata("dirty", dirty ? "1" : "");
        m_db->commit();
        return true;
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
        return false;
    }
}

} // namespace catalog
