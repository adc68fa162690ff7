// The removal list "ZEM\removed.txt". The input is the whole list. Each
// line goes through the line rules, which must never accept a path that
// Windows would read as outside "Frolix_Multiplayer", too shallow, or in
// a "Saved" or "Paks" folder. Then the list is applied for real in a fresh
// game folder (on tmpfs where there is one) holding protected files, files
// whose own names hold backslashes and links that lead out; the run is a
// finding when any protected file or folder is gone afterwards.
#include "common/state_files.h"
#include "fuzz_text.h"
#include "updater/updater.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

using zem_fuzz::require;

namespace {

std::string base_folder;  // holds "game" (the game folder) and "beyond"
std::string game_folder;

// Everything a removal list may never take, relative to the game folder.
const char* const protected_paths[] = {
    "top.txt",
    "outside/keep.txt",
    "ZEM/removed.txt",
    "Frolix_Multiplayer/Saved/SaveGames/slot1.sav",
    "Frolix_Multiplayer/Saved/Config/Game.ini",
    "Frolix_Multiplayer/Content/Paks/pak0.pak",
    "Frolix_Multiplayer/Content/Paks/Mods/mod.pak",
    "../beyond/keep.txt",
};

// Files that releases may retire, among them POSIX files whose own names
// read as a way out when taken as a Windows path.
const char* const deletable_files[] = {
    "Frolix_Multiplayer/Content/Movies/intro.mp4",
    "Frolix_Multiplayer/Content/Movies/..\\..\\..\\outside\\keep.txt",
    "Frolix_Multiplayer/Content/Movies/..\\..\\Saved\\SaveGames\\slot1.sav",
    "Frolix_Multiplayer/Binaries/Win64/Game.exe",
    "Frolix_Multiplayer/Binaries/Win64/..\\..\\..\\top.txt",
};

// Every file and link of the tree, for the check that it is still whole.
std::vector<std::string> tree_paths;
bool tree_is_whole = false;

int remove_one(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

void remove_tree(const std::string& path) {
    nftw(path.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

void make_parents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0777);
    }
}

void write_bytes(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    require(fd >= 0, "cannot write the game tree");
    require(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size), "cannot write the game tree");
    close(fd);
}

void put_file(const std::string& path, const uint8_t* data, size_t size) {
    make_parents(path);
    tree_paths.push_back(path);
    write_bytes(path, data, size);
}

void put_link(const std::string& target, const std::string& path) {
    make_parents(path);
    tree_paths.push_back(path);
    require(symlink(target.c_str(), path.c_str()) == 0, "cannot make a link in the game tree");
}

// A fresh game folder with the removal list in it. A list only ever
// deletes, so a tree with every file and link still there is as good as a
// fresh one and is only given the new list; that saves most of the time.
void build_game_tree(const uint8_t* list, size_t list_size) {
    if (tree_is_whole) {
        write_bytes(game_folder + "/ZEM/removed.txt", list, list_size);
        return;
    }
    tree_paths.clear();
    remove_tree(game_folder);
    remove_tree(base_folder + "/beyond");
    const uint8_t x[] = {'x'};
    put_file(base_folder + "/beyond/keep.txt", x, 1);
    for (const char* path : protected_paths) put_file(game_folder + "/" + path, x, 1);
    for (const char* path : deletable_files) put_file(game_folder + "/" + path, x, 1);
    put_file(game_folder + "/ZEM/removed.txt", list, list_size);
    // Links inside folders a list may delete: out of the game folder, to
    // the player's saves, to a file outside the game's folder.
    put_link(base_folder + "/beyond", game_folder + "/Frolix_Multiplayer/Content/Movies/beyond");
    put_link("../Saved", game_folder + "/Frolix_Multiplayer/Binaries/saves");
    put_link("../../Content/Paks", game_folder + "/Frolix_Multiplayer/Binaries/Win64/paks");
    put_link("../../outside/keep.txt", game_folder + "/Frolix_Multiplayer/Binaries/keep.txt");
}

bool every_tree_path_exists() {
    struct stat info;
    for (const std::string& path : tree_paths) {
        if (lstat(path.c_str(), &info) != 0) return false;
    }
    return true;
}

// The first protected path that is gone, or null.
const char* first_missing_protected_path() {
    struct stat info;
    for (const char* path : protected_paths) {
        if (lstat((game_folder + "/" + path).c_str(), &info) != 0) return path;
    }
    return nullptr;
}

size_t windows_component_length(const char* component, size_t length) {
    while (length > 0 && (component[length - 1] == '.' || component[length - 1] == ' ')) --length;
    return length;
}

bool component_is(const char* component, size_t length, const char* word) {
    return strlen(word) == length && strncasecmp(component, word, length) == 0;
}

// An accepted path ('\'-separated), read as Windows reads it: at least three
// plain components under "Frolix_Multiplayer", none of them "Saved" or "Paks".
void check_accepted_path(const char* path) {
    require(strchr(path, '/') == nullptr && strchr(path, ':') == nullptr, "accepted path with '/' or ':'");
    int count = 0;
    const char* component = path;
    for (const char* p = path;; ++p) {
        if (*p != '\0' && *p != '\\') continue;
        const size_t length = windows_component_length(component, static_cast<size_t>(p - component));
        require(length != 0 && !component_is(component, length, ".") && !component_is(component, length, ".."),
                "accepted path with an empty, '.' or '..' component");
        require(!component_is(component, length, "Saved") && !component_is(component, length, "Paks"),
                "accepted path inside Saved or Paks");
        if (count == 0) require(component_is(component, length, "Frolix_Multiplayer"), "accepted path outside the game");
        ++count;
        if (*p == '\0') break;
        component = p + 1;
    }
    require(count >= zem::removable_min_components, "accepted path too shallow");
}

void remove_base_folder() {
    remove_tree(base_folder);
}

// libFuzzer ends with _Exit, so no exit handler tidies up: each process
// names its folder by its id, and removes the folders of processes that
// are gone.
void remove_folders_of_ended_runs(const std::string& tmp) {
    DIR* folder = opendir(tmp.c_str());
    if (folder == nullptr) return;
    while (struct dirent* entry = readdir(folder)) {
        int pid = 0;
        if (sscanf(entry->d_name, "zem-fuzz-removal-%d", &pid) != 1 || pid <= 0) continue;
        if (kill(pid, 0) != 0 && errno == ESRCH) remove_tree(tmp + "/" + entry->d_name);
    }
    closedir(folder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    remove_folders_of_ended_runs(tmp);
    base_folder = std::string(tmp) + "/zem-fuzz-removal-" + std::to_string(getpid());
    game_folder = base_folder + "/game";
    remove_tree(base_folder);
    require(mkdir(base_folder.c_str(), 0700) == 0, "cannot make a temporary folder");
    // The "Removed old ..." lines are of no interest here.
    require(freopen("/dev/null", "w", stdout) != nullptr, "cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The line rules alone, on the lines as the list is split (any mix of CR
    // and LF ends a line; the list ends at its first NUL).
    std::unique_ptr<char[]> text = zem_fuzz::text_from_input(data, size);
    for (const char* cursor = text.get(); *cursor != '\0';) {
        const size_t length = strcspn(cursor, "\r\n");
        char path[zem::local_path_capacity];
        if (zem::parse_removal_line(cursor, length, path) != zem::RemovalEntry::refused) check_accepted_path(path);
        cursor += length;
        if (*cursor != '\0') ++cursor;
    }

    // The list applied in a fresh game folder.
    build_game_tree(data, size);
    const int previous_folder = open(".", O_RDONLY | O_DIRECTORY);
    require(previous_folder >= 0 && chdir(game_folder.c_str()) == 0, "cannot enter the game folder");
    zem::apply_removal_list();
    require(fchdir(previous_folder) == 0, "cannot leave the game folder");
    close(previous_folder);
    tree_is_whole = every_tree_path_exists();
    const char* missing = first_missing_protected_path();
    if (missing != nullptr) {
        fprintf(stderr, "fuzz oracle: the removal list deleted %s\n", missing);
        remove_base_folder();
    }
    require(missing == nullptr, "a protected file is gone");
    return 0;
}
