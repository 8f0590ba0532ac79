using System;

namespace vyr.bridge.classification;

/// <summary>The cache levels, by the values the store gives them.</summary>
public enum Level
{
    /// <summary>What ships with the installation; read-only by convention.</summary>
    Sys = 0,
    /// <summary>The common additions of a team.</summary>
    Shared = 1,
    /// <summary>One person's own corrections.</summary>
    User = 2,
}

/// <summary>
/// Why the store refused an operation: the level and its file, what failed (the message of
/// the assertion record that reports it), the system's error number (0 when the failure is
/// not the system's) and the reason (the system's text, or why a document does not read,
/// with its line and column).
/// </summary>
public sealed record Failure(Level Level, string File, string What, int Error, string Reason)
{
    internal static unsafe Failure Read(NativeFailure* failure) =>
        new((Level)failure->Level, Text.Read(failure->File), Text.Read(failure->What), failure->Error,
            Text.Read(failure->Reason));

    internal static unsafe Failure Take(NativeFailure* failure, FaceTable* face)
    {
        try
        {
            return Read(failure);
        }
        finally
        {
            face->FreeBlock(failure);
        }
    }
}

/// <summary>The one exception by which the store's proxies report a refused operation.</summary>
public sealed class FailureException : Exception
{
    /// <summary>Makes the exception for the failure.</summary>
    public FailureException(Failure failure)
        : base(failure.Reason.Length == 0 ? $"{failure.What}: {failure.File}" : $"{failure.What}: {failure.File}: {failure.Reason}")
    {
        Failure = failure;
    }

    /// <summary>Why the operation failed.</summary>
    public Failure Failure { get; }
}
