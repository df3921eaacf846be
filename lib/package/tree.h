#pragma once
// Unpacked package trees: the hash lists, the permissions and links lists,
// copying or moving one file with a backup, directories, and the data tree
// of a package file. Each has its own header; this one brings them all.
#include "package/dirs.h"
#include "package/filecopy.h"
#include "package/hashlist.h"
#include "package/linkperm.h"
#include "package/qpf.h"
