// Entry point of raw output decoding: picks the decoder of a model's detector family and turns the
// runtime's raw output set into a new set holding one "xyxysc" detection tensor.
#pragma once

#include "corvane/raw_postprocessors/raw_postprocessor_architecture.h"
#include "utils/tensor_utils.h"

// The raw set is only read. An architecture outside the known families yields a set without tensors.
TensorsPtr decodeRawPostprocessorOutput(RawPostprocessingArchitecture architecture, const Tensors* raw,
                                        float confidenceThreshold, float iouThreshold, int inputWidth,
                                        int inputHeight);
