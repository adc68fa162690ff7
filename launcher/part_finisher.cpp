#include "launcher/part_finisher.h"

#include "common/entry_paths.h"
#include "common/state_files.h"

#include <algorithm>
#include <utility>

namespace zem {

// A wait that nothing wakes ends after this and looks again.
constexpr uint32_t finisher_wait_ms = 60000;

PartFinisher::~PartFinisher() {
    finish_all_parts(this);
}

// The part's data on disk (the marker is deleted only after that), its
// file closed, fclose's own flush included (it can fail on a full disk),
// and moved into place. A part that cannot be is deleted.
static bool finish_part(FinishingPart* part, InstallJournal* journal) {
    const bool flushed = flush_file_data(part->file);
    const bool closed = fclose(part->file) == 0;
    part->file = nullptr;
    if (flushed && closed && move_replacing(part->part_path.c_str(), part->local_path.c_str())) {
        note_in_place(journal, part->local_path.c_str(), part->size, part->checksum);
        return true;
    }
    delete_file(part->part_path.c_str());
    return false;
}

static void note_failure(PartFinisher* finisher, const std::string& local_path) {
    if (finisher->failed_path.empty()) finisher->failed_path = local_path;
}

static void run_part_finisher(void* argument) {
    PartFinisher& finisher = *static_cast<PartFinisher*>(argument);
    take_lock(finisher.lock.get());
    for (;;) {
        while (finisher.waiting.empty() && !finisher.stopping) {
            wait_for_condition(finisher.work.get(), finisher.lock.get(), finisher_wait_ms);
        }
        if (finisher.waiting.empty()) break;
        FinishingPart part = std::move(finisher.waiting.front());
        finisher.waiting.pop_front();
        finisher.in_hand.push_back(part.local_path);
        leave_lock(finisher.lock.get());
        const bool finished = finish_part(&part, finisher.journal);
        take_lock(finisher.lock.get());
        finisher.in_hand.erase(std::find(finisher.in_hand.begin(), finisher.in_hand.end(), part.local_path));
        if (!finished) note_failure(&finisher, part.local_path);
        wake_condition(finisher.finished.get());
    }
    leave_lock(finisher.lock.get());
}

void start_part_finisher(PartFinisher* finisher, InstallJournal* journal) {
    finisher->journal = journal;
    finisher->lock = make_lock();
    const size_t count = file_finishing_threads(part_finisher_threads);
    if (count == 0) return;
    finisher->work = make_condition();
    finisher->finished = make_condition();
    if (!finisher->lock.is_open() || !finisher->work.is_open() || !finisher->finished.is_open()) return;
    for (size_t i = 0; i < count; ++i) {
        finisher->threads[finisher->running] = start_thread(run_part_finisher, finisher);
        if (finisher->threads[finisher->running].is_open()) ++finisher->running;
    }
}

static std::string folder_of(const char* local_path) {
    return std::string(local_path, parent_folder_length(local_path));
}

static bool has_non_ascii(const char* text) {
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80) return true;
    }
    return false;
}

// Whether two names may be one file's on Windows: equal ignoring ASCII
// case, or either has letters beyond ASCII, which Windows folds too, by a
// table of its own that the launcher does not hold.
static bool may_be_one_name(const char* a, const char* b) {
    return has_non_ascii(a) || has_non_ascii(b) || equals_ignoring_ascii_case(a, b);
}

// With the lock held: a part handed over may still use a name the entry at
// local_path needs.
static bool may_share_names(const PartFinisher& finisher, const char* local_path) {
    if (finisher.waiting.empty() && finisher.in_hand.empty()) return false;
    if (folder_of(local_path) != finisher.folder) return true;
    for (const std::string& path : finisher.in_hand) {
        if (may_be_one_name(path.c_str(), local_path)) return true;
    }
    for (const FinishingPart& part : finisher.waiting) {
        if (may_be_one_name(part.local_path.c_str(), local_path)) return true;
    }
    return false;
}

bool wait_for_parts_before(PartFinisher* finisher, const char* local_path) {
    if (finisher->running == 0) return finisher->failed_path.empty();
    HeldLock held(finisher->lock.get());
    while (finisher->failed_path.empty() && may_share_names(*finisher, local_path)) {
        wait_for_condition(finisher->finished.get(), finisher->lock.get(), finisher_wait_ms);
    }
    return finisher->failed_path.empty();
}

void hand_over_part(PartFinisher* finisher, FinishingPart part) {
    if (finisher->running == 0) {
        if (!finish_part(&part, finisher->journal)) note_failure(finisher, part.local_path);
        return;
    }
    HeldLock held(finisher->lock.get());
    while (finisher->waiting.size() >= parts_waiting_capacity) {
        wait_for_condition(finisher->finished.get(), finisher->lock.get(), finisher_wait_ms);
    }
    // Every part waiting is in this folder: wait_for_parts_before saw to it.
    finisher->folder = folder_of(part.local_path.c_str());
    finisher->waiting.push_back(std::move(part));
    wake_one_waiter(finisher->work.get());
}

bool finish_all_parts(PartFinisher* finisher) {
    if (finisher->running != 0) {
        {
            HeldLock held(finisher->lock.get());
            finisher->stopping = true;
            wake_condition(finisher->work.get());
        }
        for (Thread& thread : finisher->threads) thread.reset();
        finisher->running = 0;
    }
    return finisher->failed_path.empty();
}

}  // namespace zem
