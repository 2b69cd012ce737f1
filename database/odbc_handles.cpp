#include "database/odbc_handles.h"

#include <dlfcn.h>

#include <utility>

namespace db {

std::string DiagnosticText(SQLSMALLINT handleType, SQLHANDLE handle) {
  std::string text;
  if (handle == SQL_NULL_HANDLE) return text;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    SQLRETURN rc =
        SQLGetDiagRec(handleType, handle, i, state, &native, message, sizeof(message), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    std::string line(reinterpret_cast<const char*>(message));
    // Drivers end some messages with a line break; a log line must stay one line.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    if (!text.empty()) text += "; ";
    text += "[" + std::string(reinterpret_cast<const char*>(state)) + "] " + line;
  }
  return text;
}

void CheckOdbc(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const std::string& what) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  std::string diag = DiagnosticText(handleType, handle);
  if (diag.empty()) diag = rc == SQL_INVALID_HANDLE ? "invalid handle" : "no diagnostics";
  throw EDatabaseError(what + ": " + diag);
}

OdbcHandle::OdbcHandle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
  SQLRETURN rc = SQLAllocHandle(type, parent, &handle_);
  if (!SQL_SUCCEEDED(rc)) {
    handle_ = SQL_NULL_HANDLE;
    const SQLSMALLINT parentType = type == SQL_HANDLE_DBC    ? SQL_HANDLE_ENV
                                   : type == SQL_HANDLE_STMT ? SQL_HANDLE_DBC
                                                             : SQL_HANDLE_ENV;
    std::string diag = parent == SQL_NULL_HANDLE ? "" : DiagnosticText(parentType, parent);
    throw EDatabaseError("Cannot allocate an ODBC handle" + (diag.empty() ? "" : ": " + diag));
  }
}

OdbcHandle::OdbcHandle(OdbcHandle&& other) noexcept
    : type_(other.type_), handle_(std::exchange(other.handle_, SQLHANDLE{})) {}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    type_ = other.type_;
    handle_ = std::exchange(other.handle_, SQLHANDLE{});
  }
  return *this;
}

void OdbcHandle::Reset() {
  if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, handle_);
  handle_ = SQL_NULL_HANDLE;
}

namespace {

// The driver manager's configuration library is loaded by the drivers and dropped with them
// after each connection, its caches with it. Kept loaded for the life of the process (the
// host unloads the conduit library after every call, but not this), it is set up once, and
// what it keeps stays attributable to it.
void PinConfigurationLibrary() {
  static const bool pinned = dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_NODELETE) != nullptr;
  (void)pinned;
}

}  // namespace

OdbcEnvironment::OdbcEnvironment()
    : handle_((PinConfigurationLibrary(), SQL_HANDLE_ENV), SQL_NULL_HANDLE) {
  handle_.Check(SQLSetEnvAttr(handle_.Get(), SQL_ATTR_ODBC_VERSION,
                              reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                "Cannot select ODBC version 3");
}

OdbcConnection::OdbcConnection(const OdbcEnvironment& env) : handle_(SQL_HANDLE_DBC, env.Get()) {}

void OdbcConnection::Connect(const std::string& dsn, const std::string& user,
                             const std::string& password) {
  if (connected_) return;
  // SQLConnect takes the three texts apart, so nothing in them is parsed as a
  // connection-string attribute; it never opens a login prompt.
  auto text = [](const std::string& s) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
  };
  SQLRETURN rc = SQLConnect(handle_.Get(), text(dsn), static_cast<SQLSMALLINT>(dsn.size()),
                            text(user), static_cast<SQLSMALLINT>(user.size()), text(password),
                            static_cast<SQLSMALLINT>(password.size()));
  handle_.Check(rc, "Cannot connect to data source " + dsn);
  connected_ = true;
}

void OdbcConnection::Disconnect() noexcept {
  if (!connected_) return;
  connected_ = false;
  SQLDisconnect(handle_.Get());
}

OdbcStatement::OdbcStatement(const OdbcConnection& connection)
    : handle_(SQL_HANDLE_STMT, connection.Get()) {}

}  // namespace db
