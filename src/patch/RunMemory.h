#pragma once
// A run's side of the game folder's state (state/): loaded when the run has a state folder, changed by
// the stages, written after each change that must survive a kill.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "state/FolderState.h"
#include "trust/SignatureFile.h"

struct PlannedFile;
struct RunState;

struct RunMemory {
    std::wstring path;  // the state file
    std::mutex lock;    // the state and its writes: downloads on helper threads keep validators
    FolderState state;
    std::string onDisk;  // the state file's bytes as last read or written: an unchanged state is not written again
    std::vector<const PlannedFile*> swapped;  // run's thread only: files of the plan swapped in
};

// Loads the state of the current folder when the run is given a state folder (run.memory stays empty
// otherwise). A state that is missing, damaged, of another version or of another folder is a fresh one.
void LoadRunMemory(RunState& run);
// Writes the state unless the file already holds it; false when it could not be written (the run goes
// on without it).
bool SaveRunMemory(RunMemory& memory);

std::optional<uint64_t> CounterOf(const FolderState& state, const KeyId& key);
void SetCounter(FolderState& state, const KeyId& key, uint64_t sequence);

// After the local check: identities of the files it found up to date (read before they were hashed,
// so a change while hashing is seen next time), the time of a full check that ran to the end, the
// partial downloads still listed alike. Only files the manifest lists are kept.
void RememberCheck(RunState& run, const std::vector<const ManifestFile*>& upToDate,
                   const std::vector<std::optional<FileIdentity>>& identities, bool fullCheck);
// After the fetch stage: the identities of the files swapped in, read after the swap; partial
// downloads whose side file is gone are forgotten.
void RememberFetched(RunState& run);
// Fills the planned files' validators from the partial downloads recorded for the same entry.
void RecallPartials(RunState& run);
struct ValidatorKeeper {
    RunMemory* memory = nullptr;
    const PlannedFile* file = nullptr;
};
// A download's new validator, kept on disk before its bytes (fetch/Download.h keepValidator); context
// is a ValidatorKeeper.
void KeepValidator(void* context, const std::string& validator);

// Seconds since 1970, UTC.
int64_t UtcNow();
