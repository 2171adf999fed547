#pragma once

#include "core/records/FetchSettings.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tw {

/// One retrieval handed to CFetch: the page's FetchSettings plus the working fields of the call.
/// The caller owns it; the engine writes its outcome into it and keeps no reference after the
/// call returns.
///
/// Typical use by a checker:
///
///     std::atomic<bool> cancel{false};           // owned by the checker, outlives the call
///     FetchRequest request(item);                // the item's FetchSettings fields
///     request.destFile = newFile;
///     request.cancelRequested = &cancel;         // another thread may store true at any time
///     request.onReady = [&](const FetchRequest& r) { savedPath = r.errorText; };
///     CFetch fetch(&prompter);
///     if (fetch.fetchToFile(request) == 0) { /* request.errorText names the written file */ }
class FetchRequest : public FetchSettings {
public:
    /// Called once on the fetching thread when the outcome of the request phase is known: on
    /// every failure before the body, on a final status other than 200/206, and right before
    /// the body is written, when errorText already holds the save path. A successful
    /// queryLastModified does not call it. It must return quickly and must not call back into
    /// the engine; it is the place to copy the save path or to signal an event that another
    /// thread waits on.
    using ReadyCallback = std::function<void(const FetchRequest&)>;

    // Set by the engine.
    /// Content-Length of the response, -1 when it has none (set only for a fresh download).
    std::int64_t contentLength = -1;
    /// Size of the save file after the last write.
    std::int64_t bytesWritten = 0;
    /// Failure text; after a successful fresh download the path actually written; the
    /// relocation target for errorKind 3.
    std::string errorText;
    /// 0 success, 1 address unusable, 2 failure described by errorText, 3 moved to another file
    /// (errorText holds the Location), -1 cancelled, authentication pending or resume refused;
    /// any other value is the server's final HTTP status (for example 404).
    int errorKind = 0;
    /// The user refused or cancelled the credentials prompt (errorKind 2).
    bool authenticationRefused = false;
    /// The file the body of a fresh download is written to, from the moment onReady is called;
    /// empty after a failure or when nothing was written. Callers take the path from here,
    /// not from errorText.
    std::string savedPath;
    /// Content-Type of the response whose body was saved (empty when it had none): its
    /// charset tells the page's code when the page does not (see loadConverted).
    std::string contentType;
    /// What the user typed when a server other than targetUrl's origin asked for credentials
    /// (a relocation led there), and that server's origin as CFetch::originText gives it. Used
    /// again only for that origin by a later call with this same request (the download after
    /// the Last-Modified query), and never part of the settings: no caller copies it into the
    /// item, unlike userName and password, which only the item's own origin's prompt sets.
    struct OtherOriginCredentials {
        std::string origin;
        std::string userName;
        std::string password;
    };
    std::optional<OtherOriginCredentials> otherOriginCredentials;
    /// ETag and Last-Modified values of the final response (empty when it had none): the
    /// validators a later conditional request of the same item sends back.
    std::string etag;
    std::string lastModifiedHeader;
    /// How long the server asked to be left alone: Retry-After of a 429 or 503 (seconds, or an
    /// HTTP date taken relative to the clock's now), in seconds from now; -1 when it asked none.
    std::int64_t retryAfterSeconds = -1;

    // Set by the caller.
    /// Validators of the copy the caller already holds (see etag, lastModifiedHeader): a fresh
    /// download of the item's own origin sends them as If-None-Match and If-Modified-Since, and
    /// a "304 Not Modified" then ends the call with errorKind 304 and nothing written.
    std::string ifNoneMatch;
    std::string ifModifiedSince;
    /// Asks for a compressed transfer (Accept-Encoding with what libcurl can decode) on a
    /// fresh download and writes the decoded page. For pages the program reads itself (stored
    /// copies); never for a file kept as the user's own, where a ".gz" served with
    /// "Content-Encoding: gzip" would be unpacked, nor when resuming, where a range of an
    /// encoded body cannot be appended to decoded bytes.
    bool acceptEncoding = false;
    /// Byte offset at which a download resumes (with a Range header); 0 is a fresh download.
    std::int64_t startOffset = 0;
    /// Size at which writing stops, 0 for no limit. Set by the engine from Content-Length on a
    /// fresh download; kept as the caller set it when resuming.
    std::int64_t expectedSize = 0;
    /// See ReadyCallback; may be empty.
    ReadyCallback onReady;
    /// Cancellation from another thread: point this at a flag the caller owns (it must outlive
    /// the call) and store true to stop the call. The engine polls it while it waits for the
    /// network (at least every 100 ms), from libcurl's progress callback and after every written
    /// block of the body, so a call ends within about 100 ms even while a server drips. Seen
    /// before the body is written: errorKind -1 (or, when seen at the relocation step, 2 with
    /// "ダウンロードがキャンセルされました"); seen while the body is written: 2 with
    /// "強制終了しました" and the partial file removed (see keepPartial). Null means the call
    /// cannot be cancelled.
    const std::atomic<bool>* cancelRequested = nullptr;
    /// Gives up when no connection is made within this time (errorKind 2).
    int connectTimeoutSeconds = 30;
    /// Gives up when no byte has been received or sent for this long, counted from the start
    /// of each request (errorKind 2).
    int stallTimeoutSeconds = 60;
    /// Below this many bytes a second, averaged over lowSpeedSeconds, the transfer is given up
    /// (errorKind 2): a server dripping a byte every few seconds would otherwise hold the check
    /// for hours, each byte resetting the stall timeout.
    std::int64_t lowSpeedBytesPerSecond = 1024;
    int lowSpeedSeconds = 60;
    /// Longest time the whole call may take, relocation and body included (the time the user
    /// spends in the credentials prompt not counted); errorKind 2 beyond it. 0 takes the
    /// program's setting, CFetch::maxDownloadSeconds().
    int maxDownloadSeconds = 0;
    /// Largest body written to a file (errorKind 2 beyond it, the partial file removed). Pages
    /// that are compared by area are read whole into memory: callers set 64 MiB for them.
    std::int64_t maxBodyBytes = std::int64_t{1} << 30;
    /// Keeps the partly written file of a fresh download that fails, so that the caller can
    /// resume it with startOffset = bytesWritten. A resumed file is never removed: it was the
    /// caller's before the call.
    bool keepPartial = false;
    /// PEM file of the certificate authorities trusted for https addresses. Empty: the
    /// environment variable TARNWICK_CA_FILE when set, else the system's store.
    std::string caFile;

    FetchRequest() = default;
    explicit FetchRequest(const FetchSettings& settings) : FetchSettings(settings) {}

    bool cancelled() const {
        return cancelRequested && cancelRequested->load(std::memory_order_relaxed);
    }
};

} // namespace tw
