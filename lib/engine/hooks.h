#pragma once
// Hook definitions: small LDIF files ("*.qph") in the hook directory, read
// once per open inventory into its hook set. Matching and running them is
// the business of the install engine.
#include "record/ekva.h"

#include <string>

namespace qpm {

// 1 when the extension of `path` is "qph" and it is a regular file, else 0.
int qpm_file_is_qph(const std::string &path);

// The hook in `path` as an ekva (attributes are not checked here); null
// when the file cannot be read or parsed.
EkvaPtr qpm_hook_read(const std::string &path);

// Every readable hook file of `dir`, in directory order; empty when the
// directory is missing or holds none.
EkvaList qpm_hooks_read(const std::string &dir);

} // namespace qpm
