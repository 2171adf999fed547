#pragma once

// The watch list from a shell: --list, --add, --remove, --check, --export and --import. A command
// is a ListRequest; whoever writes the watch list applies it (the running program through its
// session, or the command itself under the data folder's lock when none runs) and answers with
// a ListAnswer. Texts here are UTF-8, as the command prints them.

#include "core/lists/ListImport.h"
#include "core/ports/WatchListObserver.h"
#include "core/records/WatchSettings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct ListRequest {
    enum class Kind { List, Add, Remove, Check, Export, Import };
    enum class Timing { Default, Every, At, AtStart };

    Kind kind = Kind::List;
    /// Add: the address and the name ("" for none).
    std::string address;
    std::string name;
    Timing timing = Timing::Default;
    /// Every and At: seconds from 00:00 (or of the interval).
    int seconds = 0;
    /// Remove and Check: the 1-based position in the list.
    int position = 0;
    /// Export and Import: an absolute name on disk.
    std::string file;
    ListFormat format = ListFormat::Urls;
};

struct ListAnswer {
    int code = 0;
    std::string out;
    std::string err;

    static ListAnswer failed(std::string why) { return {1, {}, std::move(why) + "\n"}; }
};

/// Reads the command line's list command from argv[first...]; nothing when argv[first] is not
/// one. On a mistake `error` says what (and the result is nothing too).
std::optional<ListRequest> parseListCommand(int argc, char** argv, int first, std::string& error);

/// The request and the answer as the bytes of their hand-over files, and back. A decode of bytes
/// that are not one gives nothing.
std::string encodeRequest(const ListRequest& request);
std::optional<ListRequest> decodeRequest(std::string_view bytes);
std::string encodeAnswer(const ListAnswer& answer);
std::optional<ListAnswer> decodeAnswer(std::string_view bytes);

/// One line of --list for the item at 0-based `position`: position from 1, schedule (as the
/// watch list dialog shows it), name, address and last result (as the result list shows it; ""
/// before the first check), tab-separated, with a line break.
std::string listRow(int position, const WatchSettings& item);

/// The new item of an Add: the defaults of a new site, the address, the name (the address when
/// there is none) and the timing. `error` is set when the address or name is refused or the
/// address is in the list already.
std::optional<WatchSettings> newItemFor(const ListRequest& request,
                                        const std::vector<WatchSettings>& existing,
                                        std::string& error);

/// The title of the page at `address` (UTF-8), as a name for it: fetched with a short time limit
/// and a small size cap into a private temporary folder, decoded by the page's own code; "" when
/// it cannot be had in time or has none.
std::string fetchPageTitle(const std::string& address);

/// The one who holds the watch list, as the commands edit it.
class ListHolder {
public:
    virtual ~ListHolder() = default;
    virtual std::vector<WatchSettings> items() const = 0;
    virtual WatchItemId idAt(int position) const = 0;
    /// Where item `id` is or will be once queued edits are applied (0-based).
    virtual int positionOf(WatchItemId id) const = 0;
    /// 0 when the item was not taken.
    virtual WatchItemId add(const WatchSettings& item) = 0;
    virtual bool remove(WatchItemId id) = 0;
    /// Makes the edits so far last; false when the list could not be saved (`why` says why).
    virtual bool commit(std::string& why) = 0;
};

/// Applies every request but Check. The answer of an Add is the new item's row.
ListAnswer applyListRequest(const ListRequest& request, ListHolder& holder);

} // namespace tw
