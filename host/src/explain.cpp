// Why an open failed: the loaded plug-in only returns null, so the same open runs again through
// the plug-in's code built to record its failure (qfcore_explain), on this host's services.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>

#include "host_state.hpp"
#include "recording/open_explanation.h"
#include "qfutil/printable.hpp"
#include "quillframer/movie_format.h"

namespace qfhost {
namespace {

std::string Quote(const std::string &s) { return "\"" + s + "\""; }

std::string CommandName(uint32_t command)
{
    char text[32];
    if (command >= 0x20 && command < 0x7F)
        std::snprintf(text, sizeof text, "0x%02X ('%c')", command, static_cast<char>(command));
    else std::snprintf(text, sizeof text, "0x%02X", command);
    return text;
}

// "the "f" command at offset 47", or "" before the stream.
std::string Where(const OpenDiagnostics &d)
{
    if (!d.command) return "";
    std::string where = "the \"" + std::string(1, static_cast<char>(d.command)) + "\" command";
    if (d.offset >= 0) where += " at offset " + std::to_string(d.offset);
    return where;
}

// The noun each index failure's subject is worded with.
const char *SubjectNoun(int32_t subject)
{
    switch (subject) {
    case SubjectScene: return "scene";
    case SubjectSpriteTarget: return "sprite target scene";
    case SubjectBackground: return "background";
    case SubjectSound: return "sound";
    case SubjectFaceSet: return "face set";
    case SubjectFace: return "face";
    case SubjectLayer: return "layer";
    default: return "entry";
    }
}

std::string IndexProblem(const OpenDiagnostics &d)
{
    const std::string what = SubjectNoun(d.subject);
    const std::string index = std::to_string(d.index), limit = std::to_string(d.limit);
    switch (d.subject) {
    case SubjectFace: return "names face " + index + ", but its face set has " + limit + " face(s), numbered from 1";
    case SubjectLayer: return "places a sprite in layer " + index + "; layers are 0 to 15";
    case SubjectScene:
        return "chooses scene " + index + ", but the scene table ends at scene " + std::to_string(d.limit - 1);
    case SubjectSpriteTarget:
        return "places a sprite in scene " + index + ", past the last scene " + std::to_string(d.limit - 1);
    default: break;
    }
    if (d.limit <= 0) return "names " + what + " " + index + ", but no " + what + " is loaded";
    return "names " + what + " " + index + ", but only " + limit + " " + what + "(s) are loaded, counted from 0";
}

std::string SceneName(int32_t scene) { return scene < 0 ? "" : "scene " + std::to_string(scene) + "'s "; }

// What a command's fixed payload holds, in the words of a movie's author: "scene 2's palette".
std::string PayloadMeaning(const OpenDiagnostics &d)
{
    const std::string scene = SceneName(d.scene);
    const std::string listed = std::to_string(d.listed);
    switch (d.command) {
    case 'a': return "the Amiga path of background " + listed;
    case 'b': return "the Amiga path of face set " + listed;
    case 'j': return "the Amiga path of sound " + listed;
    case 'c': return "the choice of a scene";
    case 'd': return "the choice of a face set for sprites";
    case 'e': return "a sprite placement";
    case 'f': return scene.empty() ? "a scene's background" : scene + "background";
    case 'g': return scene.empty() ? "a scene's scroll" : scene + "scroll";
    case 'h': return scene.empty() ? "a scene's sound" : scene + "sound";
    case 'i': return scene.empty() ? "a scene's duration" : scene + "duration";
    case 'k': return scene.empty() ? "a scene's colour cycles" : scene + "colour cycles";
    case 'l': return scene.empty() ? "a scene's palette" : scene + "palette";
    case 'w': return "the scene table";
    default: return "a block the player skips";
    }
}

}  // namespace

// One line for a failure the recording build saw; hostSaw is what the host recorded on the way.
std::string DescribeOpenFailure(const OpenDiagnostics &d, const std::string &movie, const FailureRecord &hostSaw)
{
    const std::string where = Where(d);
    const std::string context = where.empty() ? "" : " (" + where + ")";
    const std::string malformed = Quote(movie) + " is not a valid Quill Framer movie (malformed command stream): ";
    switch (d.failure) {
    case OpenFailureMovieFile:
        return hostSaw.kind == FailureKind::MovieFile ? hostSaw.what : "cannot open movie " + Quote(movie);
    case OpenFailureSignature:
        return Quote(movie) + " is not a Quill Framer movie: bad signature (expected \"" QF_SIGNATURE_SCENE_EDITOR
                              "\" or \"" QF_SIGNATURE_QUILLFRAMER "\")";
    case OpenFailureUnknownCommand:
        return malformed + "unknown command byte " + CommandName(d.command) + " at offset " + std::to_string(d.offset);
    case OpenFailureTruncated: {
        // The user's words first; the command and offset are for whoever reads the bytes.
        std::string ends =
            d.fileSize >= 0 ? "the movie file ends at byte " + std::to_string(d.fileSize) : "the movie file ends";
        std::string left = d.fileSize >= 0 && d.offset >= 0
                               ? ", " + std::to_string(std::max<int64_t>(0, d.fileSize - d.offset - 1)) + " left"
                               : "";
        return Quote(movie) + " is cut off: " + ends + ", in the middle of " + PayloadMeaning(d) + " (" +
               std::to_string(d.payloadSize) + " bytes needed" + left + "; " + where + ")";
    }
    case OpenFailureIndex: return malformed + where + " " + IndexProblem(d);
    case OpenFailureOrder: return malformed + where + (d.what ? ": " + std::string(d.what) : " was refused");
    case OpenFailureNoScenes:
        if (d.fileSize >= 0)
            return Quote(movie) + " is not a valid Quill Framer movie: the movie file ends at byte " +
                   std::to_string(d.fileSize) + " without a scene table (no \"w\" command)";
        return malformed + "the stream has no scene table (no \"w\" command)";
    case OpenFailureMemory: {
        std::string what = d.what ? d.what : "the movie";
        return "out of memory opening " + Quote(movie) + ": " + std::to_string(d.size) + " bytes for " + what +
               " could not be allocated" + context;
    }
    case OpenFailurePath:
        if (d.limit > 0)
            return "refused the Amiga path " + Quote(d.text) + context + ": its volume name has " +
                   std::to_string(d.index) + " characters, at most " + std::to_string(d.limit) + " are allowed";
        return "refused the Amiga path " + Quote(d.text) + context + ": it has no colon, so it names no volume";
    case OpenFailureCancelled:
        if (hostSaw.kind == FailureKind::VolumeCancelled) return hostSaw.what + context;
        return "no directory for Amiga volume " + Quote(std::string(d.text) + ":") + context;
    case OpenFailureReferencedFile:
        if (hostSaw.kind == FailureKind::ReferencedFile || hostSaw.kind == FailureKind::EscapingPath)
            return hostSaw.what + context;
        return "cannot open referenced file " + Quote(d.text) + context;
    default: return malformed + (where.empty() ? "refused" : where + " was refused");
    }
}

namespace {

FailureKind KindOf(int32_t failure, const FailureRecord &hostSaw)
{
    switch (failure) {
    case OpenFailureMovieFile: return FailureKind::MovieFile;
    case OpenFailureSignature: return FailureKind::BadSignature;
    case OpenFailureMemory: return FailureKind::OutOfMemory;
    case OpenFailurePath: return FailureKind::RefusedPath;
    case OpenFailureCancelled: return FailureKind::VolumeCancelled;
    case OpenFailureReferencedFile:
        return hostSaw.kind == FailureKind::EscapingPath ? FailureKind::EscapingPath : FailureKind::ReferencedFile;
    default: return FailureKind::Malformed;
    }
}

std::string Warning(const AssetWarning &w)
{
    static const char *const kinds[] = {"picture", "face set", "sound"};
    std::string kind = w.assetKind >= 0 && w.assetKind <= 2 ? kinds[w.assetKind] : "file";
    std::string why = w.failure == OpenFailureMemory
                          ? "out of memory (" + std::to_string(w.size) + " bytes for " + (w.what ? w.what : "it") + ")"
                          : "it could not be read";
    return kind + " " + Quote(w.path) + " was not loaded: " + why + "; the movie plays without it";
}

}  // namespace

OpenError::OpenError(const std::string &what, std::vector<std::string> warnings)
    : std::runtime_error(what), warnings(std::move(warnings))
{}

OpenExplanation ExplainOpen(Host &host, const std::filesystem::path &movie, uint32_t openOption)
{
    OpenExplanation explanation;
    const std::string name = movie.string();
    try {
        host.makeCurrent();
        Host::State *s = HostServices::state();
        // Asks no one: volumes answered during the open just made keep their answers, any
        // other is cancelled as it was then.
        HostSettings saved = host.settings();
        HostSettings quiet = saved;
        quiet.policy = RequesterPolicy::FixedMap;
        for (const auto &[volume, directory] : s->locationAnswers()) quiet.volumes.emplace(volume, directory);
        FailureRecord firstSaw = s->failure;
        host.settings() = quiet;
        host.beginOpen(movie);
        auto record = std::make_unique<OpenDiagnostics>();
        int32_t opened = QfExplainOpen(host.base(), name.c_str(), openOption, record.get());
        host.settings() = std::move(saved);
        const FailureRecord hostSaw = s->failure.kind != FailureKind::None ? s->failure : firstSaw;

        // Names from the movie may hold any byte: shown as \xHH, each message stays one line.
        for (int32_t i = 0; i < record->warningCount; ++i)
            explanation.warnings.push_back(Printable(Warning(record->warnings[i])));
        if (record->warningsDropped > 0)
            explanation.warnings.push_back("and " + std::to_string(record->warningsDropped) +
                                           " more file(s) were not loaded");
        if (!opened) {
            explanation.error = Printable(DescribeOpenFailure(*record, name, hostSaw));
            s->fail(KindOf(record->failure, hostSaw), explanation.error, hostSaw.path, hostSaw.volume);
        }
    } catch (const std::bad_alloc &) {
        explanation.error = "out of memory while explaining why " + Quote(name) + " could not be opened";
    }
    return explanation;
}

}  // namespace qfhost
