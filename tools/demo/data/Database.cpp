#include "data/Database.h"

namespace demo {

bool Database::IsServer(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0 ||
           where.find('=') != std::string::npos;
}

Database::Database(const std::string& where)
    : m_postgres(IsServer(where)),
      m_backend(m_postgres ? ConnectPostgres(where) : OpenSqlite(where)) {}

Database::~Database() = default;

void Database::Exec(const std::string& sql) {
    m_backend->Exec(sql);
}

std::int64_t Database::QueryInt(const std::string& sql) {
    Statement statement(*this, sql);
    const std::int64_t value = statement.Step() ? statement.Column(0) : 0;
    statement.Reset();
    return value;
}

}  // namespace demo
