// Table layouts of the CCDB: the tables built into the platform and the
// checking of descriptors handed to OMM_CCDB_UpgradeCcdbTable. Internal to
// the CCDB client (platform/om_ccdb.*); plain values, no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/om_ccdb.h"

namespace platform {
namespace ccdb {

struct CcdbColumn {
    std::string strName;
    uint32_t uiOffset = 0;
    uint32_t uiSize = 0;
    uint32_t uiType = 0;  // OM_CCDB_COL_*
};

struct CcdbTable {
    std::string strName;
    bool bKeyValue = false;  // a key-value table; the other fields are unused then
    uint32_t uiRowSize = 0;
    std::string strKeyField;
    std::vector<CcdbColumn> columns;

    const CcdbColumn* FindColumn(const std::string& name) const;
    bool SameLayout(const CcdbTable& other) const;
};

// The built-in table of that name, or null.
const CcdbTable* BuiltinTable(const std::string& name);

// Checks a descriptor completely (tags, names, sizes, column bounds and
// overlaps, the key column) and converts it. False with a reason in `error`.
bool TableFromDescriptor(const OM_CCDB_TABLE_DESC_S& desc, CcdbTable& table, std::string& error);

// The columns of a registered table as stored in the database, and back.
std::string EncodeColumns(const CcdbTable& table);
bool DecodeColumns(const std::string& blob, CcdbTable& table);

// A text of 1 to cap - 1 bytes, NUL-terminated within `cap` bytes.
bool BoundedText(const char* text, size_t cap, std::string& out);

}  // namespace ccdb
}  // namespace platform
