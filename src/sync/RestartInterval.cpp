#include "RestartInterval.h"

#include <QDateTime>

#include <random>

namespace restartinterval {

Range rangeFor(const ErrorCode &error)
{
    switch (error.errorEnum) {
    case ServerApiErrorCode::ErrorSuccess:
        return {0, 0};
    case ServerApiErrorCode::SessionExpired:
    case ServerApiErrorCode::InvalidToken:
    case ServerApiErrorCode::InvalidAccessToken:
        return {5000, 5000};
    case ServerApiErrorCode::ErrorLocalFileOpened:
        return {10000, 10000};
    case ServerApiErrorCode::ErrorNoNetwork:
        return {30000, 30000};
    // A call the server does not understand will not be understood soon either.
    case ServerApiErrorCode::InvalidCall:
    case ServerApiErrorCode::MethodNotFound:
    case ServerApiErrorCode::InvalidParameters:
        return {600000, 3600000};
    default:
        break;
    }
    // The flag marks a failed download of a very large file: retrying it soon would waste the most.
    return error.extraDelay ? Range{900000, 7200000} : Range{30000, 600000};
}

int pick(const Range &range, int q)
{
    return range.minMs + static_cast<int>(q / 32767.0 * (range.maxMs - range.minMs));
}

int randomNumber()
{
    thread_local std::minstd_rand generator(
        static_cast<std::minstd_rand::result_type>(QDateTime::currentMSecsSinceEpoch()));
    return static_cast<int>(generator() % 32768);
}

int forError(const ErrorCode &error)
{
    const Range range = rangeFor(error);
    return range.isFixed() ? range.minMs : pick(range, randomNumber());
}

} // namespace restartinterval
