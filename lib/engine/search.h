#pragma once
// Which packages are there and which one is taken: the catalogue, package
// files in local directories, the installed inventory and the file-owner
// index. Each has its own header; this one brings all four.
#include "engine/catalogue.h"
#include "engine/installed.h"
#include "engine/local_files.h"
#include "engine/owners.h"
