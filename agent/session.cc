#include "agent/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>

#include "agent/admission.h"
#include "agent/dispatch.h"
#include "agent/logging.h"
#include "agent/replay_guard.h"
#include "base/oserror.h"
#include "agent/agent_info.h"
#include "config/settings.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

constexpr int kReceiveBlock = 1024;
// A module transfer that stalls this long without a byte is given up, so a
// vanished server cannot hold the upgrade claim for ever.
constexpr int kTransferStallSeconds = 60;

// The password prepared for the cipher, rebuilt only when the settings
// snapshot changes.
std::shared_ptr<const TPasswordCredential> CredentialFor(
    const std::shared_ptr<const TORVSettings>& settings) {
  static std::mutex cache_mutex;
  static std::weak_ptr<const TORVSettings> cached_for;
  static std::shared_ptr<const TPasswordCredential> cached;
  std::lock_guard<std::mutex> lock(cache_mutex);
  std::shared_ptr<const TORVSettings> previous = cached_for.lock();
  if (!cached || previous != settings) {
    if (!cached || cached->Password != settings->Password)
      cached = std::make_shared<const TPasswordCredential>(settings->Password);
    cached_for = settings;
  }
  return cached;
}

class Session {
 public:
  explicit Session(const ThreadParams& params)
      : params_(params),
        socket_(params.Socket),
        settings_(ORVSettings.Get()),
        credential_(CredentialFor(settings_)) {}
  // Serves the connection; it stays open until End.
  void Run();
  // Ends the connection for the peer, also while a child forked by another
  // session still holds a copy of the socket.
  void End() { shutdown(socket_.get(), SHUT_RDWR); }

 private:
  using Clock = std::chrono::steady_clock;
  // Waits for bytes at most timeout_ms; >0 readable, 0 timed out, <0 failed.
  int WaitReadable(int timeout_ms);
  // The latest moment by which the bytes awaited now must have arrived.
  Clock::time_point Deadline() const;
  // False when the bytes received so far end the session (a wrong proof or
  // an announced size beyond the cap); logged as an invalid request.
  bool Admissible();
  // Adds bytes received to the request, judging the proof as soon as it is
  // complete; false when the session ends (see Admissible).
  bool TakeIn(const char* bytes, size_t count);
  void HandleRequest();
  void FinishTransfer(const String& err);
  void Send(ORVReply& reply);

  ThreadParams params_;
  UniqueFd socket_;
  // The settings the session started under: its limits and its password.
  // Handlers take their own snapshot.
  const std::shared_ptr<const TORVSettings> settings_;
  std::shared_ptr<const TPasswordCredential> credential_;
  VQRequest request_;
  ORVReply reply_;
  UpgradeRec upgrade_;
  // What the request asked of the main loop ("QUIT", "ReloadApp"); raised
  // on ORVFlags only after the reply has gone out, since the main loop may
  // end the process at its next poll and take this thread with it.
  TORVFlags asked_;
  const Clock::time_point accepted_ = Clock::now();
  time_t last_data_ = time(nullptr);
  int packet_complete_ = 0;
  bool proof_ok_ = false;  // the password proof has arrived and is right
  int proof_missing_ = 0;  // bytes still missing before the proof can be judged
};

int Session::WaitReadable(int timeout_ms) {
  struct pollfd p = {socket_.get(), POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  return r;
}

// A stranger must show the password proof within the idle limit counted
// from the accept, and the whole request must be in within "requesttimeout":
// bytes that keep trickling in do not keep a connection for ever.
Session::Clock::time_point Session::Deadline() const {
  const TORVSettings* s = settings_.get();
  int limit_ms = s->RequestTimeout;
  if (!proof_ok_ && s->Timeout > 0 && s->Timeout < limit_ms) limit_ms = s->Timeout;
  return accepted_ + std::chrono::milliseconds(limit_ms);
}

bool Session::Admissible() {
  const in_addr peer = params_.ClientAddr;
  if (request_.Oversized()) {
    showmessage("<-- Invalid VQ request received\n", peer, msgInfo);
    return false;
  }
  if (proof_ok_) return true;
  int verdict = request_.ProofSoFar(*credential_, &proof_missing_);
  if (verdict < 0) {
    showmessage("<-- Wrong password or MD5 error\n", peer, msgDebug);
    showmessage("<-- Invalid VQ request received\n", peer, msgInfo);
    return false;
  }
  proof_ok_ = verdict > 0;
  return true;
}

bool Session::TakeIn(const char* bytes, size_t count) {
  // Until the proof is judged the request holds only the bytes up to its
  // end, so a stranger never has more than those few dozen bytes kept; the
  // rest of what one read brought waits in the receive block and is dropped
  // with the connection if the proof is wrong.
  while (count > 0) {
    size_t part = count;
    if (!proof_ok_ && proof_missing_ > 0) part = std::min(part, static_cast<size_t>(proof_missing_));
    request_.AddData(bytes, static_cast<int>(part));
    if (!Admissible()) return false;
    bytes += part;
    count -= part;
  }
  return true;
}

void Session::Run() {
  char block[kReceiveBlock];
  request_.ProofSoFar(*credential_, &proof_missing_);
  // Bytes are taken without waiting first: the request has usually arrived
  // by the time its connection is accepted, and then the session costs no
  // poll. Only when nothing is there does it wait.
  bool wait_first = false;
  for (;;) {
    // Idle connections sleep in poll rather than spin; the idle limit is
    // still judged in whole seconds from the last bytes received.
    int wait_ms = 1000;
    if (!upgrade_.InProgress && !packet_complete_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline() - Clock::now());
      if (left.count() <= 0) break;
      if (left.count() < wait_ms) wait_ms = static_cast<int>(left.count());
    }
    if (wait_first) {
      int ready = WaitReadable(wait_ms);
      if (ready < 0) break;
      if (ready == 0) {
        time_t now = time(nullptr);
        if (upgrade_.InProgress) {
          if (now - last_data_ > kTransferStallSeconds) break;
          continue;
        }
        int timeout = settings_->Timeout;
        if (timeout > 0 && !packet_complete_ && last_data_ + timeout / 1000 < now) break;
        continue;
      }
    }
    ssize_t got;
    do {
      got = recv(socket_.get(), block, sizeof block, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    wait_first = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (wait_first) continue;
    if (got <= 0) break;
    last_data_ = time(nullptr);

    if (upgrade_.InProgress) {
      String err;
      DoUpgrading(upgrade_, block, static_cast<int>(got), err);
      if (upgrade_.InProgress) continue;
      FinishTransfer(err);
      break;
    }

    if (!TakeIn(block, static_cast<size_t>(got))) break;
    if (!proof_ok_ || !request_.WholePacket()) continue;
    packet_complete_ = 1;
    HandleRequest();
    if (!upgrade_.InProgress) break;
  }
  upgrade_.Abandon();
  showmessage("Session closed, wait for next ..\n", LOCAL, msgInfo);
}

// The debug trace of one packet check: each size in the order the check read
// it, then the refusal of a wrong password.
void LogParseReport(const TParseReport& report, in_addr peer) {
  static const char* const kSizeLines[TParseReport::kSizes] = {
      "<-- TCP packet size: %d\n", "<-- ORV packet size: %d\n", "<-- Pswd size: %d\n",
      "<-- Key size: %d\n", "<-- Req size: %d\n"};
  for (int i = 0; i < report.sizes_read; ++i)
    showmessage(kSizeLines[i], peer, msgDebug, 1, report.sizes[i]);
  if (report.outcome == TParseReport::kWrongPassword)
    showmessage("<-- Wrong password or MD5 error\n", peer, msgDebug);
}

void Session::HandleRequest() {
  const in_addr peer = params_.ClientAddr;
  TParseReport report;
  const int accepted = request_.ParseInitRequest(*credential_, &report);
  LogParseReport(report, peer);
  if (accepted != 1) {
    showmessage("<-- Invalid VQ request received\n", peer, msgInfo);
    return;
  }
  // A copy of a request accepted earlier is refused like a wrong password:
  // whoever recorded it learns nothing, and it is not carried out again.
  if (ReplayGuard().Repeated(request_.GetEncryptedKey(), settings_->ReplayWindow)) {
    showmessage("<-- Replayed VQ request refused\n", peer, msgBad);
    return;
  }
  showmessage("<-- Correct VQ request received\n", peer, msgInfo);
  reply_.InitPacket(nullptr, request_.GetSessionKey(), request_.GetSessionCipher());
  int recognised = ProcessVQRequest(request_, reply_, asked_, params_, upgrade_);
  String code = reply_.Length() > 2 ? reply_.Copy(1, 3) : String();
  showmessage(recognised ? "--> request processed (%s)\n"
                         : "--> request rejected or operation failed (%s)\n",
              peer, msgInfo, 1, code.CStr());
  Send(reply_);
  if (asked_.Terminate) ORVFlags.Terminate = 1;
  if (asked_.Reload) ORVFlags.Reload = 1;
}

void Session::FinishTransfer(const String& err) {
  if (err.Length() > 0)
    reply_.SetResult("300") += err;
  else
    reply_.SetResult("200");
  Send(reply_);
}

void Session::Send(ORVReply& reply) {
  reply.FinalizePacket();
  // The whole reply is written even when the kernel takes it in parts; a
  // peer that stops taking it is given up after the idle limit, so it
  // cannot pin this thread.
  int stall_ms = settings_->Timeout;
  if (stall_ms <= 0) stall_ms = settings_->RequestTimeout;
  SendFullWithin(socket_.get(), reply.Data(), static_cast<size_t>(reply.Length()), stall_ms);
}

}  // namespace

void ServeConnection(const ThreadParams& params) {
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    AgentStatus.ActiveConnections++;
    AgentStatus.OpenedConnections++;
  }
  {
    Session session(params);
    session.Run();
    // The session stops counting before its peer sees the connection end,
    // so a server that connects again at once is neither refused by the
    // per-address cap nor shown its own finished session by "GetInfo".
    SessionAdmission().Leave(params.ClientAddr);
    AgentStatus.ActiveConnections--;
    session.End();
  }
  std::lock_guard<std::mutex> lock(thread_mutex);
  if (ORVFlags.UpgradeScript.Length() > 0) ORVFlags.Upgrade = 1;
}
