// The distribution server, compiled in (CMake cache variable ZEM_SERVER_URL).
#pragma once

namespace zem {

constexpr const char* server_base_url = ZEM_SERVER_URL;
constexpr const char* release_description_url = ZEM_SERVER_URL "/files/release.json";
constexpr const char* update_archive_url = ZEM_SERVER_URL "/files/frolix-rewrite-update.zip";
// Beside it when releases are signed (common/release_signing.h).
constexpr const char* update_signature_url = ZEM_SERVER_URL "/files/frolix-rewrite-update.zip.sig";
// A rooted build's keys text (common/key_chain.h), for both programs.
constexpr const char* keys_url = ZEM_SERVER_URL "/files/frolix-rewrite.keys";
constexpr const char* default_game_archive_url = ZEM_SERVER_URL "/files/frolix-rewrite.zip";

}  // namespace zem
