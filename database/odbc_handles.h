#pragma once
// Owning wrappers for the three ODBC handles the database layer uses, and the check that
// turns an ODBC failure into an exception carrying the driver's diagnostics.

#include <sql.h>
#include <sqlext.h>

#include <string>

#include "base/exception.h"

namespace db {

// Every failure of the database layer: the connection, the driver or a value it refuses.
QP_DECLARE_EXCEPTION(EDatabaseError, Exception);

// The diagnostic records of a handle, "[state] text" each, joined by "; ".
std::string DiagnosticText(SQLSMALLINT handleType, SQLHANDLE handle);

// Raises EDatabaseError "<what>: <diagnostics>" unless rc is a success (SQL_NO_DATA counts
// as success: a statement that touched no row is not a failure).
void CheckOdbc(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& what);

class OdbcHandle {
 public:
  OdbcHandle() = default;
  // Allocates a handle of the type under parent (SQL_NULL_HANDLE for an environment).
  OdbcHandle(SQLSMALLINT type, SQLHANDLE parent);
  ~OdbcHandle() { Reset(); }
  OdbcHandle(OdbcHandle&& other) noexcept;
  OdbcHandle& operator=(OdbcHandle&& other) noexcept;
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;

  SQLHANDLE Get() const { return handle_; }
  SQLSMALLINT Type() const { return type_; }
  explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }
  void Reset();
  // Raises EDatabaseError "<what>: <diagnostics of this handle>" unless rc is a success.
  void Check(SQLRETURN rc, const std::string& what) const { CheckOdbc(rc, type_, handle_, what); }

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// An ODBC 3 environment.
class OdbcEnvironment {
 public:
  OdbcEnvironment();
  SQLHENV Get() const { return handle_.Get(); }

 private:
  OdbcHandle handle_;
};

// A connection handle; disconnects, when connected, before it is freed.
class OdbcConnection {
 public:
  explicit OdbcConnection(const OdbcEnvironment& env);
  ~OdbcConnection() { Disconnect(); }
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  // Connects to the data source; never prompts.
  void Connect(const std::string& dsn, const std::string& user, const std::string& password);
  void Disconnect() noexcept;
  bool Connected() const { return connected_; }
  SQLHDBC Get() const { return handle_.Get(); }
  const OdbcHandle& Handle() const { return handle_; }

 private:
  OdbcHandle handle_;
  bool connected_ = false;
};

// A statement handle on a connection; the connection must outlive it.
class OdbcStatement {
 public:
  explicit OdbcStatement(const OdbcConnection& connection);
  SQLHSTMT Get() const { return handle_.Get(); }
  void Check(SQLRETURN rc, const std::string& what) const { handle_.Check(rc, what); }

 private:
  OdbcHandle handle_;
};

}  // namespace db
