// The collector's record database as plugins see it: the records of the files
// that plugins produce ("tbl_plugin_record", "tbl_node_record") and of the log
// files handed to remote log tasks ("tbl_log_record").
//
// Every operation is one statement against the database file, run by the host
// daemon; none keeps state or holds a lock, so all may be called from any
// thread. Results: 0 on success, otherwise the platform database error code,
// or -1 where a function says so.
//
// Names are stored as given: a single quote inside a name is kept as part of
// the name. A name holding a NUL character cannot be stored and gives -1.
#pragma once

#include <cstdint>
#include <string>

// One row of "tbl_node_record". updateNodeRecord reads only iId and iFileSize.
struct tagTBL_NODE_RECORD {
    int32_t iId;           // row id
    char acFileName[256];  // file_name
    int32_t iIsCollect;    // is_collect: 0 new, 1 collected
    char acFileTime[32];   // file_time, "YYYY-MM-DD HH:MM:SS" local time
    int32_t iFileSize;     // file_size in bytes
};

// Records the file `name` (a real path, measured now) as not yet collected.
// -1, with nothing stored, when its size cannot be read.
int32_t insertPluginRecord(std::string name, int fileType);
int32_t insertNodeRecord(std::string name, int isCollect);
// Stores record.iFileSize as the size of the row record.iId.
int32_t updateNodeRecord(tagTBL_NODE_RECORD& record);

int32_t deletePluginRecordByID(int id);
int32_t deleteNodeRecordByID(int id);
int32_t deletePluginRecordByFileName(std::string name);
int32_t deleteNodeRecordByFileName(std::string name);
// Rows of "tbl_plugin_record" for `name`; `count` is left unchanged when the
// query fails.
int32_t queryPluginRecordCount(std::string name, int& count);
int32_t deleteAllPluginRecord();
int32_t deleteAllNodeRecord();
int32_t clearLogRecord();
int32_t DelAllAlarmRecord();

// Log files of remote log tasks, per node.
int32_t insertLogRecord(unsigned short nodeId, std::string name);
int32_t updateLogRecord(unsigned short nodeId, std::string name);  // marks it collected
int32_t deleteLogRecord(unsigned short nodeId, std::string name);
