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
/// The kind of a failure: what a caller decides on. The store's own values, fixed; the texts
/// of a <see cref="Failure"/> are for people.
/// </summary>
public enum FailureKind
{
    /// <summary>The operation succeeded.</summary>
    None = 0,
    /// <summary>Another holder kept the level's lock for the whole wait.</summary>
    Busy = 1,
    /// <summary>The path, or a folder below the level folder, is a symbolic link or leaves it.</summary>
    Link = 2,
    /// <summary>What stands at the level path (or its lock file) is not a regular file.</summary>
    NotRegularFile = 3,
    /// <summary>The level file has more than one hard link.</summary>
    SeveralLinks = 4,
    /// <summary>A document does not read as a level file.</summary>
    NotWellFormed = 5,
    /// <summary>The level has no file: no folder, an id that names no file inside it, or a
    /// missing file that could not be made.</summary>
    NoFile = 6,
    /// <summary>Text that the level file format cannot hold.</summary>
    CannotStore = 7,
    /// <summary>Another writer kept changing the file during the write-back.</summary>
    KeepsChanging = 8,
    /// <summary>The level is not locked by this write access.</summary>
    NotLocked = 9,
    /// <summary>No cached level to make the missing level file from.</summary>
    NoLowerLevel = 10,
    /// <summary>A classification is already there.</summary>
    Exists = 11,
    /// <summary>A call of the system failed; <see cref="Failure.Error"/> is its error number.</summary>
    SystemError = 12,
    /// <summary>The id's level file, or the temporary file it is written from, would have a name
    /// longer than the level folder's file system allows.</summary>
    IdTooLong = 13,
    /// <summary>The edit reaches a source id that a one-source write access does not hold.</summary>
    OtherSource = 14,
}

/// <summary>
/// Why the store refused an operation: the level and its file, what failed (the message of
/// the assertion record that reports it), the system's error number (set for
/// <see cref="FailureKind.SystemError"/> only), the reason (the system's text, or why a
/// document does not read, with its line and column) and the kind, by which a caller tells
/// what happened.
/// </summary>
public sealed record Failure(Level Level, string File, string What, int Error, string Reason, FailureKind Kind)
{
    internal static unsafe Failure Read(NativeFailure* failure) =>
        new((Level)failure->Level, Text.Read(failure->File), Text.Read(failure->What), failure->Error,
            Text.Read(failure->Reason), (FailureKind)failure->Kind);

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

    /// <summary>The kind of the failure, to switch on.</summary>
    public FailureKind Kind => Failure.Kind;
}
