#pragma once
// The staging folder (kStagingFolderName): the next release's changed files, fetched ahead and named
// by their digest until a live manifest lists them. Their records and partial downloads are kept in
// the folder's state under their staged paths, like any other file's.
#include <set>
#include <string>
#include <vector>

struct ManifestFile;
struct RunState;

// "QirellPatcher.preload/<digest>": a manifest-style path, relative to the game folder.
std::string StagedPath(const std::string& sha256);

// For each entry: true when staging holds its content, its copy's identity being the one recorded
// when it was staged, or its bytes hashing to the entry's size and digest. A copy that does not hold
// it is deleted.
std::vector<bool> StagedCopiesHold(RunState& run, const std::vector<const ManifestFile*>& entries);

// Patch day: each planned file whose content waits in staging has it moved into its side file and
// goes FetchWay::Staged; the run's bytes to fetch shrink by its size.
void TakeStaged(RunState& run);

// After a patch day that failed: the staged copies moved into side files but not swapped in go back
// to staging, so that the next run moves them in again instead of fetching them.
void ReturnStaged(RunState& run);

// Deletes every staged file, side file and record whose digest is not in keep (lower-case hex), and
// the folder once it is empty.
void CleanStaging(RunState& run, const std::set<std::string>& keep);
