// A Host: one HostBase with its three tables, its settings and what it saw go wrong.
#include <cstring>

#include "host_state.hpp"

namespace qfhost {
namespace {

Host *currentHost = nullptr;

template <typename F>
HostFunction Slot(F f)
{
    return reinterpret_cast<HostFunction>(f);
}

}  // namespace

void Host::State::fail(FailureKind kind, std::string what, std::string path, std::string volume)
{
    failure = FailureRecord{std::move(what), kind, std::move(path), std::move(volume)};
}

const std::pair<std::string, std::string> *Host::State::answerFor(const std::string &path) const
{
    const std::pair<std::string, std::string> *found = nullptr;
    for (const auto &answer : answers) {
        const std::string &dir = answer.second;
        if (dir.empty() || path.compare(0, dir.size(), dir) != 0) continue;
        bool boundary = path.size() == dir.size() || dir.back() == '/' || path[dir.size()] == '/';
        if (boundary && (!found || dir.size() >= found->second.size())) found = &answer;
    }
    return found;
}

std::string Host::State::volumeOf(const std::string &path) const
{
    const auto *answer = answerFor(path);
    return answer ? answer->first : std::string();
}

Host::State *HostServices::state() { return currentHost ? currentHost->state_.get() : nullptr; }

Host::Host(HostSettings settings) : state_(std::make_unique<State>())
{
    State &s = *state_;
    s.settings = std::move(settings);
    s.fileTable[HOST_FILE_OPEN] = Slot(&HostServices::OpenFile);
    s.fileTable[HOST_FILE_CLOSE] = Slot(&HostServices::CloseFile);
    s.fileTable[HOST_FILE_SEEK] = Slot(&HostServices::Seek);
    s.fileTable[HOST_FILE_READ] = Slot(&HostServices::Read);
    s.fileTable[HOST_FILE_READ_BYTE] = Slot(&HostServices::ReadByte);
    s.fileTable[HOST_FILE_AT_END] = Slot(&HostServices::AtEndOfFile);
    s.fileTable[HOST_FILE_JOIN_PATH] = Slot(&HostServices::JoinPath);
    s.fileTable[HOST_FILE_OPEN_TAGGED] = Slot(&HostServices::OpenFileTagged);
    s.utilityTable[HOST_UTILITY_COMPARE_NAMES] = Slot(&HostServices::CompareNames);
    s.requesterTable[HOST_REQUESTER_PATH] = Slot(&HostServices::PathRequester);
    s.base.version = s.settings.version;
    s.base.fileTable = s.fileTable;
    s.base.utilityTable = s.utilityTable;
    s.base.requesterTable = s.requesterTable;
    currentHost = this;
}

Host::~Host()
{
    if (currentHost == this) currentHost = nullptr;
}

HostBase *Host::base() { return &state_->base; }
HostSettings &Host::settings() { return state_->settings; }
void Host::makeCurrent() { currentHost = this; }
Host *Host::current() { return currentHost; }
const FailureRecord &Host::failure() const { return state_->failure; }
uint32_t Host::lastOpenOption() const { return state_->lastOpenOption; }

void Host::beginOpen(const std::filesystem::path &movie)
{
    State &s = *state_;
    s.base.version = s.settings.version;
    s.failure = {};
    s.moviePath = movie.string();
    s.opensSinceBegin = 0;
    s.answers.clear();
    s.mounted.clear();
    s.chains.clear();
    s.foundAt.clear();
    s.badBuffer = nullptr;
}

}  // namespace qfhost
