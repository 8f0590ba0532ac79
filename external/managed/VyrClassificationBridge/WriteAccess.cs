using System;

namespace vyr.bridge.classification;

/// <summary>
/// Write access to one classification, the proxy of the native WriteAccess: lock a level,
/// edit it in memory (the merged view changes at once), and have it written back into its
/// file. <see cref="Dispose"/> does what the native destructor does: it writes every locked
/// level back, then lets the locks go. Each operation takes the store's lock, so other
/// threads may query meanwhile; the access itself is used by one thread at a time.
///
/// An operation that the store refuses throws <see cref="FailureException"/> with the level,
/// the file and the reason; a member named bo... that returns has succeeded.
///
/// An access that is never disposed writes nothing: its finalizer only queues the native
/// handle, and the next call of the store on any thread lets its locks go and reads each
/// level it held again from its file, so its edits are dropped. Dispose it (a using block).
/// </summary>
public sealed unsafe class WriteAccess : IDisposable
{
    private IntPtr handle;

    internal WriteAccess(IntPtr access)
    {
        handle = access;
    }

    /// <summary>Gives up the native handle without writing; see the class's summary.</summary>
    ~WriteAccess()
    {
        if (handle != IntPtr.Zero)
        {
            Face.Abandon(handle, isAccess: true);
        }
    }

    /// <summary>
    /// Locks the level until the access is disposed: an exclusive lock that other processes
    /// respect, with the level file read again when it changed.
    /// </summary>
    public bool boLockFile(Level level)
    {
        NativeFailure* failure = null;
        return Done(Face.Table->AccessLock(Live, (int)level, &failure), failure);
    }

    /// <summary>Adds the pair at a locked level, making the level from the lowest one when missing.</summary>
    public bool boAddMapping(string sourceId, string classifiedId, Level level) =>
        Pair(sourceId, classifiedId, level, add: true);

    /// <summary>Maps the source id to exactly this classified id at a locked level.</summary>
    public bool boSetMapping(string sourceId, string classifiedId, Level level) =>
        Pair(sourceId, classifiedId, level, add: false);

    /// <summary>Removes the pair at a locked level; the source stays listed.</summary>
    public void vMappingRemove(string sourceId, string classifiedId, Level level)
    {
        byte* a = stackalloc byte[Text.StackBytes], b = stackalloc byte[Text.StackBytes];
        using var source = new Utf8Arg(sourceId, nameof(sourceId), a);
        using var classified = new Utf8Arg(classifiedId, nameof(classifiedId), b);
        NativeFailure* failure = null;
        Done(Face.Table->AccessRemove(Live, source.Text, classified.Text, (int)level, &failure), failure);
    }

    /// <summary>Empties the source id's set at a locked level; the source stays listed.</summary>
    public void vMappedToSourceRemove(string sourceId, Level level) => One(sourceId, level, Operation.SourceRemove);

    /// <summary>Removes the classified id from every set at a locked level.</summary>
    public void vMappedToClassifiedRemove(string classifiedId, Level level) =>
        One(classifiedId, level, Operation.ClassifiedRemove);

    /// <summary>Unlists the source id at a locked level, so that the levels below decide it.</summary>
    public void vMappedToSourceInherit(string sourceId, Level level) => One(sourceId, level, Operation.SourceInherit);

    /// <summary>Writes every locked level back now; the locks stay held and editing may go on.</summary>
    public bool boWriteBack()
    {
        NativeFailure* failure = null;
        return Done(Face.Table->AccessWriteBack(Live, &failure), failure);
    }

    /// <summary>Makes the level's missing file from the highest cached level's header.</summary>
    public void vCreateFileIfNotAtLevel(Level level)
    {
        Face.Check(Face.Table->AccessFileCreate(Live, (int)level), nameof(WriteAccess));
    }

    /// <summary>Writes every locked level back and lets the locks go, as the native destructor does.</summary>
    public void Dispose()
    {
        IntPtr ending = handle;
        if (ending == IntPtr.Zero)
        {
            return;
        }
        handle = IntPtr.Zero;
        GC.SuppressFinalize(this);
        Face.Table->AccessRelease(ending);
    }

    private enum Operation { SourceRemove, ClassifiedRemove, SourceInherit }

    private IntPtr Live => handle != IntPtr.Zero
        ? handle
        : throw new ObjectDisposedException(nameof(WriteAccess));

    private bool Pair(string sourceId, string classifiedId, Level level, bool add)
    {
        byte* a = stackalloc byte[Text.StackBytes], b = stackalloc byte[Text.StackBytes];
        using var source = new Utf8Arg(sourceId, nameof(sourceId), a);
        using var classified = new Utf8Arg(classifiedId, nameof(classifiedId), b);
        FaceTable* face = Face.Table;
        NativeFailure* failure = null;
        int status = add
            ? face->AccessAdd(Live, source.Text, classified.Text, (int)level, &failure)
            : face->AccessSet(Live, source.Text, classified.Text, (int)level, &failure);
        return Done(status, failure);
    }

    private void One(string id, Level level, Operation operation)
    {
        byte* buffer = stackalloc byte[Text.StackBytes];
        using var arg = new Utf8Arg(id, nameof(id), buffer);
        NativeText text = arg.Text;
        FaceTable* face = Face.Table;
        NativeFailure* failure = null;
        int status = operation switch
        {
            Operation.SourceRemove => face->AccessSourceRemove(Live, text, (int)level, &failure),
            Operation.ClassifiedRemove => face->AccessClassifiedRemove(Live, text, (int)level, &failure),
            _ => face->AccessSourceInherit(Live, text, (int)level, &failure),
        };
        Done(status, failure);
    }

    private static bool Done(int status, NativeFailure* failure)
    {
        if (Face.Check(status, nameof(WriteAccess)) == Face.Failed)
        {
            throw new FailureException(Failure.Take(failure, Face.Table));
        }
        return true;
    }
}
