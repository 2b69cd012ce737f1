#pragma once
// The PC side of one handheld session during one HotSync: where the session's records are
// downloaded to and where its upload data comes from. The handheld session drives it through
// the operations below; the text and ODBC sessions implement them.

#include <cstdint>
#include <exception>
#include <string>

class TKLVPDASession;

class TKLVPCSession {
 public:
  // For the handheld session of slot Slot, whose log lines start with Label; not owned.
  TKLVPCSession(TKLVPDASession& PDASession, int32_t Slot, std::string Label);
  virtual ~TKLVPCSession();

  TKLVPCSession(const TKLVPCSession&) = delete;
  TKLVPCSession& operator=(const TKLVPCSession&) = delete;

  virtual bool Active() const { return Active_; }
  virtual bool Failed() const { return Failed_; }

  // Each base version raises Exception "TKLVPCSession.<operation> not overridden". A close
  // operation is told whether its records operation got the whole file onto the handheld.
  virtual void WriteOpen() { NotOverridden(__func__); }
  virtual void WriteRecord() { NotOverridden(__func__); }
  virtual void WriteClose() { NotOverridden(__func__); }
  virtual bool DataReadOpen() { NotOverridden(__func__); }
  virtual bool DataReadRecords() { NotOverridden(__func__); }
  virtual bool DataReadClose(bool) { NotOverridden(__func__); }
  virtual bool HintReadOpen() { NotOverridden(__func__); }
  virtual bool HintReadRecords() { NotOverridden(__func__); }
  virtual bool HintReadClose(bool) { NotOverridden(__func__); }
  virtual bool FieldListReadOpen(int) { NotOverridden(__func__); }
  virtual bool FieldListReadRecords(int) { NotOverridden(__func__); }
  virtual bool FieldListReadClose(int, bool) { NotOverridden(__func__); }

  // The download's last steps, after WriteClose. WritePublish makes what WriteClose finished
  // visible, where it can so that WriteSettle may still undo it, and answers whether it did
  // and the output has not failed; it logs its own failure. WriteSettle(true) makes a
  // published download lasting and logs the outcome; WriteSettle(false) undoes a published
  // download where the output can, drops one not published, and logs Why as the reason
  // unless the output failed. The base has nothing to publish.
  virtual bool WritePublish();
  virtual void WriteSettle(bool Keep, const std::string& Why);
  // Both, for an output that takes its download on its own: Keep false drops it.
  void WriteCommit(bool Keep, const std::string& Why);

  // Records offered for writing and records written; kept by the subclasses.
  int32_t SeenCount = 0;
  int32_t WrittenCount = 0;
  // Records the target refused and left out, each logged, as its settings allow; these
  // count as handled.
  int32_t SkippedCount = 0;
  // The handheld session's slot, 0..31.
  const int32_t SlotIndex;
  // "SessionNN(name)", the start of every log line of this target.
  const std::string SessionLabel;
  TKLVPDASession& PDASession;

 protected:
  [[noreturn]] static void NotOverridden(const char* Operation);
  // Logs SessionLabel + ": " + What.
  void Log(const std::string& What) const;
  // The same with the failure's text on an indented line below.
  void LogFailure(const std::string& What, const std::exception& E) const;
  // LogFailure, and the session has failed.
  void Fail(const std::string& What, const std::exception& E) {
    LogFailure(What, E);
    Failed_ = true;
  }

  // Subclasses assign these; Failed_ never returns to false.
  bool Active_ = true;
  bool Failed_ = false;
};
