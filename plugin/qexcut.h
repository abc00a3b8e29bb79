// The QexCut filter: placed at the end of a script after a variable-rate Qex, it passes frames
// on in order, follows the published durations to the end of the stream, writes its timecodes
// file there and tells the process that drives the encoding that the stream has ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "avisynth.h"

namespace qex {

class VfrInfoOut;

// Passing state of the cut filter.
struct CutState {
    int32_t last_requested = -1;  // last frame requested in order
    int32_t position = -1;        // source frame currently passed on
    int32_t end = -1;             // last frame that will be passed on
    uint64_t total = 0;           // running sum of the published durations
};

class QexCut : public GenericVideoFilter {
  public:
    QexCut(AVSValue args, IScriptEnvironment* env);
    ~QexCut() override;

    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override;

  private:
    std::unique_ptr<VfrInfoOut> reader_;
    CutState state_;
    std::vector<uint64_t> times_;  // millisecond time after each passed frame
    std::string timecodes_path_;
};

AVSValue CreateQexCut(AVSValue args, void* user_data, IScriptEnvironment* env);

}  // namespace qex
