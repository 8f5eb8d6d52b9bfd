// What a job needs from its caller: a place to report progress and hear of a
// cancel, and answers to the questions the job cannot settle on its own. The
// desktop program answers with dialogs, the terminal tool with its options.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ost {

class JobProgress {
 public:
  virtual ~JobProgress() = default;
  // A pass with `units` steps of work starts; `text` says what is being done.
  virtual void Begin(std::string_view text, std::uint64_t units) = 0;
  // One unit is done (the desktop program pumps its events here).
  virtual void Step() = 0;
  // Asked after every Step: true stops the job, which then leaves nothing behind.
  virtual bool IsCancelled() = 0;
  // The pass ended, ran through or cancelled.
  virtual void End() = 0;
  // Called every few milliseconds while a job waits for work running on
  // other threads, so that a user interface stays alive; IsCancelled is
  // asked after it.
  virtual void Pump() {}
};

// Reports nothing and never cancels.
class NullProgress final : public JobProgress {
 public:
  void Begin(std::string_view, std::uint64_t) override {}
  void Step() override {}
  bool IsCancelled() override { return false; }
  void End() override {}
};

enum class ChannelLayout { Mono, Stereo };

// Asked for a source whose header does not say how many channels it has.
class ChannelQuestion {
 public:
  virtual ~ChannelQuestion() = default;
  // nullopt: the user declined to answer, the job stops ("Action Cancelled").
  virtual std::optional<ChannelLayout> AskChannels(const std::filesystem::path& source) = 0;
};

// Asked when an archive holds a password record and none was given up front.
class PasswordQuestion {
 public:
  virtual ~PasswordQuestion() = default;
  // nullopt: the user cancelled; the check then runs with an empty text.
  virtual std::optional<std::string> AskPassword(const std::filesystem::path& archive) = 0;
};

}  // namespace ost
