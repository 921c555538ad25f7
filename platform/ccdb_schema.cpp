#include "platform/ccdb_schema.h"

#include <algorithm>
#include <cstring>

namespace platform {
namespace ccdb {
namespace {

CcdbTable MakeObjectTable(const char* name, uint32_t rowSize, const char* keyField,
                          std::vector<CcdbColumn> cols) {
    CcdbTable table;
    table.strName = name;
    table.uiRowSize = rowSize;
    table.strKeyField = keyField;
    table.columns = std::move(cols);
    return table;
}

std::vector<CcdbTable> MakeBuiltins() {
    std::vector<CcdbTable> tables;
    CcdbTable global;
    global.strName = "DB_CHS_GLOBAL_CFG_S";
    global.bKeyValue = true;
    tables.push_back(global);

    tables.push_back(MakeObjectTable("DB_CHS_RELAYD_CFG_S", 1232, "serviceid",
                                     {{"serviceid", 0, 4, OM_CCDB_COL_UINT32},
                                      {"areaId", 4, 64, OM_CCDB_COL_TEXT},
                                      {"proxySwitch", 68, 4, OM_CCDB_COL_UINT32},
                                      {"proxyAddress", 72, 256, OM_CCDB_COL_TEXT},
                                      {"proxyPort", 328, 4, OM_CCDB_COL_UINT32},
                                      {"proxyAuthType", 332, 4, OM_CCDB_COL_UINT32},
                                      {"proxyUserName", 336, 128, OM_CCDB_COL_TEXT},
                                      {"proxyPassword", 464, 512, OM_CCDB_COL_TEXT},
                                      {"zenloginAcount", 976, 256, OM_CCDB_COL_TEXT}}));

    std::vector<CcdbColumn> task = {
        {"taskId", 0, 4, OM_CCDB_COL_UINT32},        {"taskType", 4, 4, OM_CCDB_COL_UINT32},
        {"taskIdText", 8, 256, OM_CCDB_COL_TEXT},    {"taskTypeText", 264, 64, OM_CCDB_COL_TEXT},
        {"taskParam", 328, 512, OM_CCDB_COL_TEXT},   {"paramValue1", 840, 8, OM_CCDB_COL_UINT64},
        {"paramValue2", 848, 8, OM_CCDB_COL_UINT64}, {"createTime", 872, 8, OM_CCDB_COL_UINT64}};
    const char* numbered[] = {"i_taskendtime",  "i_taskstatus",   "i_taskresult",    "i_taskrunnode",
                              "i_taskprogress", "i_tasksubitems", "i_taskcachedata", "i_taskreturn1",
                              "i_taskreturn2",  "i_taskreturn3"};
    uint32_t offset = 880;
    for (const char* name : numbered) {
        task.push_back({name, offset, 8, OM_CCDB_COL_UINT64});
        offset += 8;
    }
    task.push_back({"sv_taskreturn1", 960, 64, OM_CCDB_COL_TEXT});
    task.push_back({"sv_taskreturn2", 1024, 1024, OM_CCDB_COL_TEXT});
    tables.push_back(MakeObjectTable("DB_CHS_REMOTE_TASK_S", 2048, "taskId", std::move(task)));
    return tables;
}

bool SizeFitsType(uint32_t type, uint32_t size) {
    switch (type) {
        case OM_CCDB_COL_UINT32:
            return size == 4;
        case OM_CCDB_COL_UINT64:
            return size == 8;
        case OM_CCDB_COL_TEXT:
            return size >= 1;
        default:
            return false;
    }
}

}  // namespace

const CcdbColumn* CcdbTable::FindColumn(const std::string& name) const {
    for (const CcdbColumn& column : columns) {
        if (column.strName == name) {
            return &column;
        }
    }
    return nullptr;
}

bool CcdbTable::SameLayout(const CcdbTable& other) const {
    if (strName != other.strName || bKeyValue != other.bKeyValue || uiRowSize != other.uiRowSize ||
        strKeyField != other.strKeyField || columns.size() != other.columns.size()) {
        return false;
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        const CcdbColumn& a = columns[i];
        const CcdbColumn& b = other.columns[i];
        if (a.strName != b.strName || a.uiOffset != b.uiOffset || a.uiSize != b.uiSize ||
            a.uiType != b.uiType) {
            return false;
        }
    }
    return true;
}

const CcdbTable* BuiltinTable(const std::string& name) {
    // Never destroyed: a message thread may still look a table up while the
    // exit handlers run.
    static const std::vector<CcdbTable>& builtins = *new std::vector<CcdbTable>(MakeBuiltins());
    for (const CcdbTable& table : builtins) {
        if (table.strName == name) {
            return &table;
        }
    }
    return nullptr;
}

bool BoundedText(const char* text, size_t cap, std::string& out) {
    if (text == nullptr) {
        return false;
    }
    size_t length = strnlen(text, cap);
    if (length == 0 || length >= cap) {
        return false;
    }
    out.assign(text, length);
    return true;
}

bool TableFromDescriptor(const OM_CCDB_TABLE_DESC_S& desc, CcdbTable& table, std::string& error) {
    table = CcdbTable{};
    if (desc.uiTag != OM_CCDB_TABLE_TAG) {
        error = "bad table tag";
        return false;
    }
    if (!BoundedText(desc.acName, sizeof(desc.acName), table.strName) ||
        !BoundedText(desc.acKeyName, sizeof(desc.acKeyName), table.strKeyField)) {
        error = "table or key name not a text of 1 to 127 bytes";
        return false;
    }
    if (desc.uiRowSize == 0 || desc.uiRowSize > OM_CCDB_MAX_ROW_SIZE) {
        error = "row size out of range";
        return false;
    }
    if (desc.ulFieldNum == 0 || desc.ulFieldNum > OM_CCDB_MAX_FIELDS || desc.pstFields == nullptr) {
        error = "no fields or too many";
        return false;
    }
    table.uiRowSize = desc.uiRowSize;
    for (uint64_t i = 0; i < desc.ulFieldNum; ++i) {
        const OM_CCDB_FIELD_DESC_S& field = desc.pstFields[i];
        CcdbColumn column;
        if (field.uiTag != OM_CCDB_FIELD_TAG ||
            !BoundedText(field.acName, sizeof(field.acName), column.strName)) {
            error = "field " + std::to_string(i) + ": bad tag or name";
            return false;
        }
        if (!SizeFitsType(field.uiType, field.uiSize) ||
            static_cast<uint64_t>(field.uiOffset) + field.uiSize > desc.uiRowSize) {
            error = "field " + column.strName + ": type, size or offset does not fit the row";
            return false;
        }
        if (table.FindColumn(column.strName) != nullptr) {
            error = "field " + column.strName + " named twice";
            return false;
        }
        column.uiOffset = field.uiOffset;
        column.uiSize = field.uiSize;
        column.uiType = field.uiType;
        table.columns.push_back(column);
    }
    std::vector<CcdbColumn> sorted = table.columns;
    std::sort(sorted.begin(), sorted.end(),
              [](const CcdbColumn& a, const CcdbColumn& b) { return a.uiOffset < b.uiOffset; });
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i - 1].uiOffset + sorted[i - 1].uiSize > sorted[i].uiOffset) {
            error = "fields " + sorted[i - 1].strName + " and " + sorted[i].strName + " overlap";
            return false;
        }
    }
    if (table.FindColumn(table.strKeyField) == nullptr) {
        error = "key field " + table.strKeyField + " is not a field";
        return false;
    }
    return true;
}

std::string EncodeColumns(const CcdbTable& table) {
    std::string blob;
    for (const CcdbColumn& column : table.columns) {
        OM_CCDB_FIELD_DESC_S field{};
        field.uiTag = OM_CCDB_FIELD_TAG;
        memcpy(field.acName, column.strName.data(),
               std::min(column.strName.size(), sizeof(field.acName) - 1));
        field.uiOffset = column.uiOffset;
        field.uiSize = column.uiSize;
        field.uiFlags = 1;
        field.uiType = column.uiType;
        blob.append(reinterpret_cast<const char*>(&field), sizeof(field));
    }
    return blob;
}

bool DecodeColumns(const std::string& blob, CcdbTable& table) {
    if (blob.empty() || blob.size() % sizeof(OM_CCDB_FIELD_DESC_S) != 0) {
        return false;
    }
    table.columns.clear();
    for (size_t at = 0; at < blob.size(); at += sizeof(OM_CCDB_FIELD_DESC_S)) {
        OM_CCDB_FIELD_DESC_S field;
        memcpy(&field, blob.data() + at, sizeof(field));
        CcdbColumn column;
        if (!BoundedText(field.acName, sizeof(field.acName), column.strName) ||
            !SizeFitsType(field.uiType, field.uiSize) ||
            static_cast<uint64_t>(field.uiOffset) + field.uiSize > table.uiRowSize) {
            return false;
        }
        column.uiOffset = field.uiOffset;
        column.uiSize = field.uiSize;
        column.uiType = field.uiType;
        table.columns.push_back(column);
    }
    return true;
}

}  // namespace ccdb
}  // namespace platform
