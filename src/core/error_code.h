#pragma once
// The error codes of the line protocol's answers. Lower layers return them
// with their failures (link resolution, for one), so the dispatcher passes
// them on unchanged.
namespace melodara {

enum class ErrorCode { InvalidRequest, UnsupportedOperation, InternalError, EngineUnavailable };

}  // namespace melodara
