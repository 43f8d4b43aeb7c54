// Delivering the kept events again, oldest first (qelevent-tool resend).
//
// One run at a time holds the byte just past the appenders' range locked for
// as long as it runs. It reads the record at the head of the file under the
// file's lock, posts it with no lock held (a host thread that appends
// meanwhile waits for no post), then takes the lock again, checks that the
// bytes are still those it posted, and blanks that record's line in place
// with spaces: the event's text is then gone from the disk, and every reader
// passes over the line. Blanking costs one write of one record, so a run is
// linear in the file's size. Once the run has seen the end of the file and
// holds the lock, blanks and all are cut off (lines that are no whole record
// stay, at the start). A run that stops at a refusal leaves its blanks in
// front, for the next run to take out.
//
// What is sent twice: an event whose post succeeded when the run was
// stopped before it blanked the line; so at most one event a stopped run.
// Nothing is lost: a record leaves the file only once the server took it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/KeptEvent.h"
#include "platform/Platform.h"

namespace qel {

// The byte locked for a whole run, outside the appenders' range, so that two
// runs never post the same record while appending goes on.
constexpr uint32_t kResendRunLockOffset = 0xFFFFFFFFu;

struct ResendReport {
  enum class Stop {
    allDelivered,  // no whole record is left
    refused,       // the server's answer to |refused| was |answer|, not 0
    notPosted,     // the plug-in could not post |refused| (|reason|)
    failed,        // the file could not be used (|reason|); nothing was posted after
  };
  Stop stop = Stop::failed;
  size_t delivered = 0;
  // Lines that are no whole record: never posted, left in the file.
  size_t cutLines = 0;
  std::optional<KeptEvent> refused;
  int32_t answer = 0;
  std::string reason;
};

// Posts the record |line| (without its line end) once, without waiting:
// true with the server's |answer|, false when it could not be posted.
using PostKeptRecord = std::function<bool(std::string_view line, int32_t& answer)>;
// Told each event the server took, once its line is blanked.
using KeptEventDelivered = std::function<void(const KeptEvent& event)>;

// Delivers the records of the file at |path| through |post| in file order
// and stops at the first one not delivered, which stays with every record
// after it. Throws nothing. A file that does not exist has nothing to send.
ResendReport ResendKeptEvents(Platform& platform, const std::u16string& path,
                              const PostKeptRecord& post, const KeptEventDelivered& delivered);

// The bytes of the file at |path| from |offset| to its end, read under the
// file's lock (empty past the end); false with a |reason| when it cannot be
// opened, locked or read.
bool ReadKeptEventsFile(Platform& platform, const std::u16string& path, uint32_t offset,
                        std::string& bytes, std::string& reason);

}  // namespace qel
