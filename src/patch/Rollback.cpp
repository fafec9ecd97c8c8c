// A keyed patcher never goes back: each signing key's highest accepted sequence is kept in the folder's
// state, and a manifest below it (or without one, once the key carried one) is refused.
#include "patch/RunState.h"
#include "patch/Words.h"
#include "text/Hex.h"
#include "trust/Sequence.h"
#include "trust/SignatureFile.h"

bool AcceptManifest(RunState& run, Words& failure) {
    if (!run.signer) return true;
    uint64_t sequence = 0;
    const SequenceRead read = ReadManifestSequence(run.body, sequence);
    const KeyId key = KeyIdOf(*run.signer);
    const std::string keyText = HexLower(key.data(), key.size());
    if (read == SequenceRead::Malformed) {
        Log(run, "refused: the manifest's sequence is not an integer from 0 to 2^53");
        failure = WordsFor(RunStep::BadManifest);
        return false;
    }
    Log(run, "manifest sequence " + (read == SequenceRead::Present ? std::to_string(sequence) : std::string("none")) +
                 " key " + keyText);
    // Without a state folder there is nothing to compare with: the signature alone decides.
    if (!run.memory) return true;
    const std::optional<uint64_t> highest = CounterOf(run.memory->state, key);
    switch (JudgeSequence(highest, read, sequence)) {
    case SequenceVerdict::Same: return true;
    case SequenceVerdict::Raised: {
        std::lock_guard<std::mutex> guard(run.memory->lock);
        SetCounter(run.memory->state, key, sequence);
        // Kept before anything else happens: a run killed right after still refuses an older one next time.
        if (!SaveRunMemory(*run.memory)) Log(run, "state: could not be written");
        return true;
    }
    case SequenceVerdict::Lower:
        Log(run, "refused: sequence " + std::to_string(sequence) + " below " + std::to_string(*highest) + " for key " +
                     keyText);
        break;
    case SequenceVerdict::Missing:
        Log(run, "refused: no sequence, but key " + keyText + " carried " + std::to_string(*highest));
        break;
    }
    failure = RollbackWords();
    return false;
}
