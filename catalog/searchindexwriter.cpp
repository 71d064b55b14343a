#include "searchindexwriter.h"

#include "searchterms.h"
#include "trackweight.h"

#include <xapian.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace catalog {

namespace {

// Bumped whenever the terms or weights change, so that older indexes are rebuilt.
const char *const formatVersion = "2";

// Title and creator count most; the file name usually repeats them.
void addField(std::map<std::string, Xapian::termcount> &terms, const std::string &text,
              Xapian::termcount weight)
{
    for (const auto &word : SearchTerms::words(text))
        terms[word] += weight;
}

} // namespace

SearchIndexWriter::SearchIndexWriter() = default;
SearchIndexWriter::~SearchIndexWriter() = default;

std::string SearchIndexWriter::pathFor(const std::string &databasePath)
{
    return databasePath + ".search";
}

bool SearchIndexWriter::open(const std::string &path, bool *fresh, std::string *error)
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
        return true;
    } catch (const Xapian::Error &e) {
        if (error)
            *error = "search index " + path + ": " + e.get_description();
        return false;
    }
}

void SearchIndexWriter::put(const TrackRecord &track)
{
    if (track.id <= 0 || track.id > int64_t(UINT32_MAX))
        return;
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
    try {
        m_db->replace_document(Xapian::docid(track.id), document);
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
    }
}

void SearchIndexWriter::remove(int64_t id)
{
    if (id <= 0 || id > int64_t(UINT32_MAX))
        return;
    try {
        m_db->delete_document(Xapian::docid(id));
    } catch (const Xapian::DocNotFoundError &) {
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
    }
}

void SearchIndexWriter::clear()
{
    try {
        for (auto it = m_db->postlist_begin(""); it != m_db->postlist_end(""); ++it)
            m_db->delete_document(*it);
    } catch (const Xapian::Error &e) {
        m_error = e.get_description();
    }
}

bool SearchIndexWriter::begin()
{
    return commit(true);
}

bool SearchIndexWriter::finish()
{
    return commit(false);
}

bool SearchIndexWriter::commit(bool dirty)
{
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
