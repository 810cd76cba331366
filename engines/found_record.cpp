#include "engines/found_record.h"

#include "platform/text.h"

namespace velmira {

std::string RecordName(const FoundRecord& record) { return NameFieldText(record.name, sizeof record.name); }

void SetRecordName(FoundRecord& record, const std::string& name) {
  CopyToNameField(record.name, sizeof record.name, name);
}

}  // namespace velmira
