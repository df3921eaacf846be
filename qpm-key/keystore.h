#pragma once
// The keystore tool's work: summaries of signer certificates, and adding,
// removing and listing the certificates of the inventory's keystore
// ("<certstore>/<subject hash>.crt").
#include "engine/inventory.h"
#include "record/ekva.h"

#include <string>

namespace qpm {

// Summary of the PEM certificate at `path`: subject, name, hash, sha1,
// status, not_before_unix, not_after_unix, not_before_text, not_after_text,
// mail (name and mail only when present). Null when the file cannot be
// opened (silently) or holds no readable certificate (with a message).
EkvaPtr qpm_key_data(const std::string &path);

// The summary as the user sees it, on standard output.
void print_key_data(const Ekva *summary);

// Lists the keystore; the number of certificates, or -1 when the directory
// cannot be opened.
int qpm_key_lst(const qpm_handle *qpm, bool verbose);

// Copies `source` to `destination` through a temporary file beside it that
// is renamed over the destination once complete, so the destination holds
// either nothing new or the whole copy. Bytes copied, or -1 with a message.
long long filecpy(const std::string &destination, const std::string &source);

// True for exactly eight hexadecimal digits: the only form of a subject
// hash, and so the only name -D may turn into a keystore path.
bool qpm_key_hash_valid(const std::string &hash);

// The two changing actions of the tool. Each asks for confirmation unless
// `force`, locks the inventory before the change and returns the process's
// exit status (0 also when the user declines).
int qpm_key_add(qpm_handle *qpm, const std::string &file, bool force);
int qpm_key_del(qpm_handle *qpm, const std::string &hash, bool force);

} // namespace qpm
