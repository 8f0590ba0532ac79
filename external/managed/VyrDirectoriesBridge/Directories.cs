using System;
using System.Collections.Generic;

namespace vyr.bridge;

/// <summary>The folders a component of the system may use: the system folder, the shared folders and the user folder.</summary>
public interface IDirectories
{
    /// <summary>The system folder.</summary>
    string sysDirectoryGet();
    /// <summary>The shared folders, in the order they are searched.</summary>
    IReadOnlyList<string> sharedDirectoriesGet();
    /// <summary>The user folder.</summary>
    string userDirectoryGet();
}

/// <summary>
/// The proxy of a native directory service (a vyr::DirectoriesInterface), which it reads on
/// each call. Valid while the native object lives: for one a host passed to a run, until the
/// run returns. The process-wide service is <see cref="Instance"/>; a purely managed host sets
/// its folders with <see cref="vDirectoriesSet"/> before the store is first used.
/// </summary>
public sealed unsafe class Directories : NativeProxy, IDirectories
{
    /// <summary>Wraps the native service (a const vyr::DirectoriesInterface*), not owned.</summary>
    public Directories(IntPtr nativeDirectories) : base(nativeDirectories, nameof(nativeDirectories), null)
    {
    }

    internal Directories(IntPtr nativeDirectories, RunScope scope)
        : base(nativeDirectories, nameof(nativeDirectories), scope)
    {
    }

    /// <summary>The process-wide directory service.</summary>
    public static Directories Instance
    {
        get
        {
            IntPtr found;
            Face.Check(Face.Table->DirectoriesGet(&found), nameof(Directories));
            return new Directories(found);
        }
    }

    /// <summary>
    /// Sets the process-wide service's three folders (UTF-8 paths). Takes no lock: must not
    /// run while the store is being made or reset; the store reads them when it is made.
    /// </summary>
    public static void vDirectoriesSet(string sys, IReadOnlyList<string> shared, string user)
    {
        ArgumentNullException.ThrowIfNull(shared);
        byte[] sysBytes = Text.Bytes(sys, nameof(sys)), userBytes = Text.Bytes(user, nameof(user));
        var sharedBytes = new byte[shared.Count][];
        var handles = new System.Runtime.InteropServices.GCHandle[shared.Count];
        var texts = new NativeText[shared.Count];
        try
        {
            for (int index = 0; index < shared.Count; ++index)
            {
                sharedBytes[index] = Text.Bytes(shared[index], nameof(shared));
                handles[index] = System.Runtime.InteropServices.GCHandle.Alloc(sharedBytes[index],
                    System.Runtime.InteropServices.GCHandleType.Pinned);
                texts[index] = Text.Of((byte*)handles[index].AddrOfPinnedObject(), sharedBytes[index]);
            }
            fixed (byte* sysData = sysBytes, userData = userBytes)
            fixed (NativeText* sharedTexts = texts)
            {
                Face.Check(Face.Table->DirectoriesSet(Text.Of(sysData, sysBytes), sharedTexts, (nuint)texts.Length,
                    Text.Of(userData, userBytes)), nameof(Directories));
            }
        }
        finally
        {
            foreach (var handle in handles)
            {
                if (handle.IsAllocated)
                {
                    handle.Free();
                }
            }
        }
    }

    /// <inheritdoc/>
    public string sysDirectoryGet() => TextGet(Face.Table->DirectoriesSysGet);

    /// <inheritdoc/>
    public IReadOnlyList<string> sharedDirectoriesGet()
    {
        FaceTable* face = Face.Table;
        NativeList* list;
        Face.Check(face->DirectoriesSharedGet(Native, &list), nameof(Directories));
        return Text.TakeList(list, face)!.AsReadOnly();
    }

    /// <inheritdoc/>
    public string userDirectoryGet() => TextGet(Face.Table->DirectoriesUserGet);
}
