#pragma once

#include <string>

namespace tw {

class FetchRequest;
class HttpConnections;
class Prompter;
class WatchSettings;

/// Makes the folder (mode 0700) unless something of that name is there.
void ensureFolder(const std::string& folder);

/// Downloading an item's page and putting it where the next check looks: the checker does it
/// on every changed page, the editor's source view whenever it shows the page. Between the
/// download and keeping it each caller decides whether it is kept at all: the checker compares
/// it, the source view converts it and makes sure it is still the one the user last asked for.
///
///     PageDownload download(programFolder);
///     if (const std::string failure = download.prepare(item, request); !failure.empty()) ...
///     if (!download.fetch(request, prompter)) ...   // any thread
///     changed ? download.keep(item) : download.discard();
class PageDownload {
public:
    /// Relative file names of the item are taken in the data folder `programFolder`.
    explicit PageDownload(std::string programFolder);

    /// Sets `request` (the item's page, with whatever else the caller chose: time-outs, a cancel
    /// flag, a size limit, the logins of an earlier query) up for a fresh download that follows
    /// relocations and reloads from the server, into a free temp.tmp name beside the file it is
    /// to replace: the folder of destFile in download modes 1 and 2, comp otherwise. The failure
    /// text (code page 932) when the item has no file to keep it in; empty when ready.
    std::string prepare(const WatchSettings& item, FetchRequest& request);

    /// Fetches the prepared request, over `connections` when given (see CFetch). True when the
    /// page was written to path(); false when the fetch failed or was cancelled, with nothing of
    /// it left on disk and the request's error kind and text telling why (304 when the server
    /// said the page is unchanged since the request's validators).
    bool fetch(FetchRequest& request, Prompter* prompter, HttpConnections* connections = nullptr);

    /// The file the page was written to; empty before a successful fetch and once it is kept or
    /// discarded.
    const std::string& path() const { return m_path; }

    /// Puts the download where the next check of `item` looks, by its download mode: 0 in place
    /// of the stored copy (compareFile, always inside comp; the download itself becomes it when
    /// there is none yet), 1 in place of destFile, 2 under the next free numbered name of
    /// destFile (page.html, page_1.html...), which destFile then names. Empty on success;
    /// otherwise the failure text, the download removed and the item unchanged.
    std::string keep(WatchSettings& item);

    /// Removes the download: it is not kept.
    void discard();

private:
    std::string m_programFolder;
    std::string m_path;
};

} // namespace tw
