// ESP transmit records in the report layer.
#include "library/core/VQ_Report.h"

TVQ_Result TVQ_ReportDevice::GetESPReport(std::string& report) {
  report = "GetReport: ESP records are not read yet";
  return TVQ_Result::VQ_DLL_internalError;
}
