// The services the plug-in calls back: files from the file table, names joined and compared by
// the stand-in host's rules (shared code), and a requester that only answers volumes the page
// already has a folder for. An unanswered volume is cancelled and recorded, so the page can ask
// the user and open again: the plug-in's requester is synchronous and a browser's folder picker
// is not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillframer/host_api.h"

namespace qfweb {

enum FailureKind {
    FailureNone = 0,
    FailureMovieFile = 1,
    FailureBadSignature = 2,
    FailureReferencedFile = 3,
    FailureVolumeWanted = 4,  // a volume the page has no folder for yet
    FailureEscapingPath = 5,
    FailureMalformed = 6,
};

struct Failure {
    int kind = FailureNone;
    std::string text;
    std::string volume;
};

// What one referenced file turned out to be, for the page's list of assets.
struct FoundAsset {
    std::string asked;  // the joined path the plug-in asked for
    std::string found;  // the file it got, after the case-insensitive lookup
    std::string form;   // the IFF FORM type, "" if none
    uint32_t size = 0;
};

// Fills the service tables and starts the plug-in, once.
void InitHost();
const PluginInfo &Plugin();

// Forgets the last open's failure and assets; path is the movie the next open is for.
void BeginOpen(std::string path);
const std::string &MoviePath();
// The plug-in only says "null": records why, unless a service already did.
void ExplainFailedOpen();
const Failure &LastFailure();
const std::vector<FoundAsset> &FoundAssets();

// The requester's answer for a volume (names compared ignoring case): the folder it lies under.
void AnswerVolume(const char *volume, const char *root);
// The volume is unanswered again: the next open wants it.
void ForgetVolume(const char *volume);

bool StartsLikeMovie(const std::vector<uint8_t> &bytes);

}  // namespace qfweb
