#pragma once

#include <juce_core/juce_core.h>

#include <optional>
#include <utility>

// The one way a step of the program says that it failed: it returns an Expected, which holds
// either what the step gives (for a step that gives nothing, plain success) or a Failure with the
// message that says why, in the words the user reads. Success is never told by an empty text or
// by a flag beside the message: a failure is a failure whatever its message holds, and the message
// of a success is always empty.
//
//     Expected<Dimensions> parsed = parseDimensions (...);
//     if (! parsed)
//         return failure (parsed.message());
//     use (*parsed);
//
// The lower layers' readers and codecs keep their own long-standing form (bool, with the refusal
// in a String& they are given); a caller that wraps one of them turns it into an Expected where it
// hands the result on.
namespace vornconv
{

// A failure and its message.
struct Failure
{
    juce::String message;
};

inline Failure failure (juce::String message)
{
    return { std::move (message) };
}

// What a step gives, or its failure.
template <typename T>
class [[nodiscard]] Expected
{
public:
    // Taken by reference, so that a local returned by name is moved, not copied.
    Expected (const T& value) : held (value) {}
    Expected (T&& value) : held (std::move (value)) {}
    Expected (Failure refusal) : why (std::move (refusal.message)) {}

    bool ok() const noexcept { return held.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    // What the step gave; only when ok.
    T& operator*() & { return *held; }
    const T& operator*() const& { return *held; }
    T&& operator*() && { return std::move (*held); }
    T* operator->() { return &*held; }
    const T* operator->() const { return &*held; }

    // Why it failed; empty when ok.
    const juce::String& message() const noexcept { return why; }

private:
    std::optional<T> held;
    juce::String why;
};

// Success, or a failure with its message, for a step that gives nothing.
template <>
class [[nodiscard]] Expected<void>
{
public:
    Expected() = default;
    Expected (Failure refusal) : failed (true), why (std::move (refusal.message)) {}

    bool ok() const noexcept { return ! failed; }
    explicit operator bool() const noexcept { return ok(); }

    // Why it failed; empty when ok.
    const juce::String& message() const noexcept { return why; }

private:
    bool failed = false;
    juce::String why;
};

// Success, for a step that gives nothing.
inline Expected<void> success()
{
    return {};
}

} // namespace vornconv
