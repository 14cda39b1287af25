// The stage codes that a guarded pipeline's status record names on failure.
//
// A code names the stage that was running, not a kind of failure, and the
// same code means different stages in the training and the scoring layouts.
#pragma once

namespace algo::hi::stages {

// Before the first stage; no failure can be reported with it.
inline constexpr const char* kStart = "init";

// training_model, outlier_clean and failure_deadline_learning.
namespace training {
inline constexpr const char* kCompression = "Error_01";
inline constexpr const char* kConfiguration = "Error_02";  // the eight fields, the time scale
inline constexpr const char* kColumns = "Error_03";  // selection, times, codebook; a cleaning pass's IQR cleaning
inline constexpr const char* kFamilies = "Error_04";
inline constexpr const char* kScreening = "Error_05";  // low-resolution features
inline constexpr const char* kExtraction = "Error_06";  // the family record, time filtering, features
inline constexpr const char* kScaling = "Error_07";
inline constexpr const char* kModel = "Error_08";  // size check, PCA health model, T², SPE
inline constexpr const char* kAssembly = "Error_09";  // deadline, robustness, the model dictionary
}  // namespace training

// testing_model.
namespace scoring {
inline constexpr const char* kCompression = "Error_01";
inline constexpr const char* kTooLittleData = "Error_02";  // and its placeholder result
inline constexpr const char* kConfiguration = "Error_03";  // the stored fields, codebook lower bounds
inline constexpr const char* kColumns = "Error_04";  // model features, per-minute outliers, times
inline constexpr const char* kExtraction = "Error_05";
inline constexpr const char* kScaling = "Error_06";
inline constexpr const char* kModel = "Error_07";  // T², health index, attribution, the result
}  // namespace scoring

}  // namespace algo::hi::stages
