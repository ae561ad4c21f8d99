#include "ExtractionTypes.h"

const char* backendName(ExtractionBackend backend) {
  switch (backend) {
  case ExtractionBackend::FragmentPasses: return "fragment";
  case ExtractionBackend::Compute: return "compute";
  case ExtractionBackend::Automatic: break;
  }
  return "auto";
}

bool parseBackend(const std::string& word, ExtractionBackend& out) {
  for (ExtractionBackend b : {ExtractionBackend::Automatic, ExtractionBackend::FragmentPasses, ExtractionBackend::Compute})
    if (word == backendName(b)) {
      out = b;
      return true;
    }
  return false;
}
