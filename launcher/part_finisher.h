// Part files whose bytes are all written and checked are flushed, closed
// and moved into place by threads of their own, and their journal records
// noted, while the extraction goes on with the next entries: on Windows,
// where those calls are dear (POSIX finishes each part itself). Under Wine
// those calls are most of a small file's time (a flush is an fsync, each
// name not there yet a scan of its folder, each open, close and rename a
// round trip to wineserver), and the extraction thread no longer waits
// for them.
//
// A part waits for its turn with its file still open, so no entry may use
// the same names meanwhile: before an entry is looked at, the extraction
// waits until every part handed over is finished when the entry's folder
// is another one (a folder made could take the name a part is moved to),
// or its name may be one a part still holds (Windows names ignore case;
// a name with letters beyond ASCII, the entry's or a part's, may match
// others than those that match ignoring ASCII case).
#pragma once

#include "launcher/install_journal.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace zem {

// Parts handed over and not finished yet, at most; each holds its file open.
constexpr size_t parts_waiting_capacity = 16;
// Threads finishing parts side by side. Under Wine a thread spends most of
// a part's time waiting (for the disk's flush, for wineserver), so several
// keep up with the extraction where one does not. Measured with the
// Windows launcher under Wine on the 479 MB bench archive (3,078 entries),
// three runs each in the same sitting: the extraction finishing its own
// parts 7.77 s, 2 threads 6.37 s, 3 threads 5.94 s, 4 threads 6.31 s.
// (Only where the platform's file calls are dear: file_finishing_threads.)
constexpr size_t part_finisher_threads = 3;

struct FinishingPart {
    FILE* file = nullptr;  // open, written, not flushed
    std::string part_path;
    std::string local_path;
    uint64_t size = 0;
    std::string checksum;  // for the journal's in-place record
};

struct PartFinisher {
    Lock lock;
    Condition work;      // wakes a finishing thread: a part handed over, or the end
    Condition finished;  // wakes the extraction: a part finished
    std::deque<FinishingPart> waiting;
    std::vector<std::string> in_hand;  // the local paths of the parts the threads are finishing
    bool stopping = false;
    std::string folder;       // of the parts waiting or being finished
    std::string failed_path;  // the local path of the first part not put in place
    InstallJournal* journal = nullptr;
    Thread threads[part_finisher_threads];
    size_t running = 0;  // threads started, the first ones of threads

    PartFinisher() = default;
    PartFinisher(const PartFinisher&) = delete;
    PartFinisher& operator=(const PartFinisher&) = delete;
    ~PartFinisher();
};

// Starts the threads the platform wants (file_finishing_threads). With
// none, or none that can be had, hand_over_part finishes each part itself.
void start_part_finisher(PartFinisher* finisher, InstallJournal* journal);

// Waits until local_path's entry may be looked at and written (see above).
// False when a part handed over could not be put in place: the
// installation stops, at that part (failed_path).
bool wait_for_parts_before(PartFinisher* finisher, const char* local_path);

// Hands the part over; waits while parts_waiting_capacity wait already.
void hand_over_part(PartFinisher* finisher, FinishingPart part);

// Waits until every part handed over is finished and ends the threads.
// False when one could not be put in place (failed_path).
bool finish_all_parts(PartFinisher* finisher);

}  // namespace zem
