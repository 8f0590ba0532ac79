using System;
using System.Collections.Concurrent;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;

namespace vyr.bridge;

/// <summary>UTF-8 text given to or taken from the face: a pointer and a byte count.</summary>
[StructLayout(LayoutKind.Sequential)]
internal unsafe struct NativeText
{
    public byte* Data;
    public nuint Size;
}

[StructLayout(LayoutKind.Sequential)]
internal unsafe struct NativeList
{
    public nuint Count;
    public NativeText* Items;
}

[StructLayout(LayoutKind.Sequential)]
internal unsafe struct NativeSource
{
    public NativeText Id;
    public nuint ClassifiedCount;
    public NativeText* Classified;
}

[StructLayout(LayoutKind.Sequential)]
internal unsafe struct NativeLevel
{
    public int Level;
    public nuint SourceCount;
    public NativeSource* Sources;
}

[StructLayout(LayoutKind.Sequential)]
internal unsafe struct NativeLevels
{
    public nuint Count;
    public NativeLevel* Levels;
}

[StructLayout(LayoutKind.Sequential)]
internal struct NativeFailure
{
    public int Level;
    public NativeText File;
    public NativeText What;
    public int Error;
    public NativeText Reason;
    public int Kind;
}

[StructLayout(LayoutKind.Sequential)]
internal unsafe struct NativeFailures
{
    public nuint Count;
    public NativeFailure* Items;
}

[StructLayout(LayoutKind.Sequential)]
internal struct NativeError
{
    public ulong Token;
    public NativeText Type;
    public NativeText Message;
}

/// <summary>
/// The table of the store's C face (bridge/StoreFace.h, struct vyr_face), field for field.
/// </summary>
[StructLayout(LayoutKind.Sequential)]
internal unsafe struct FaceTable
{
    public uint Version;
    public uint Size;
    public delegate* unmanaged<void*, void> FreeBlock;
    public delegate* unmanaged<NativeError**, int> ErrorGet;
    public delegate* unmanaged<IntPtr*, int> AdminMake;
    public delegate* unmanaged<IntPtr, IntPtr*, int> AdminWrap;
    public delegate* unmanaged<IntPtr, void> AdminRelease;
    public delegate* unmanaged<int> AdminReset;
    public delegate* unmanaged<IntPtr, NativeText, int*, int> AdminClassificationExists;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, NativeText, NativeText, NativeText, int, int, int,
        NativeFailure**, int> AdminClassificationCreate;
    public delegate* unmanaged<IntPtr, NativeText, NativeLevels**, int> AdminLevelsGet;
    public delegate* unmanaged<IntPtr, NativeText, int, NativeText*, int> AdminTextGet;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, NativeText, int*, int> AdminMappingExists;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, NativeList**, int> AdminClassifiedIdsGet;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, NativeList**, int> AdminSourceIdsGet;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, NativeText*, int> AdminClassifiedIdGet;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, NativeText*, int> AdminSourceIdGet;
    public delegate* unmanaged<IntPtr, NativeText, NativeList**, int> AdminMappingsGet;
    public delegate* unmanaged<IntPtr, NativeText, int*, NativeFailure**, int> AdminRefresh;
    public delegate* unmanaged<IntPtr, NativeText, ulong*, int> AdminChangeCountGet;
    public delegate* unmanaged<IntPtr, NativeText, NativeFailures**, int> AdminReadFailuresGet;
    public delegate* unmanaged<IntPtr, NativeText, IntPtr*, int> AdminWriteAccessGet;
    public delegate* unmanaged<IntPtr, int, NativeFailure**, int> AccessLock;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, int, NativeFailure**, int> AccessAdd;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, int, NativeFailure**, int> AccessSet;
    public delegate* unmanaged<IntPtr, NativeText, NativeText, int, NativeFailure**, int> AccessRemove;
    public delegate* unmanaged<IntPtr, NativeText, int, NativeFailure**, int> AccessSourceRemove;
    public delegate* unmanaged<IntPtr, NativeText, int, NativeFailure**, int> AccessClassifiedRemove;
    public delegate* unmanaged<IntPtr, NativeText, int, NativeFailure**, int> AccessSourceInherit;
    public delegate* unmanaged<IntPtr, NativeFailure**, int> AccessWriteBack;
    public delegate* unmanaged<IntPtr, int, int> AccessFileCreate;
    public delegate* unmanaged<IntPtr, void> AccessRelease;
    public delegate* unmanaged<IntPtr, void> AccessAbandon;
    public delegate* unmanaged<IntPtr*, int> DirectoriesGet;
    public delegate* unmanaged<IntPtr, NativeText*, int> DirectoriesSysGet;
    public delegate* unmanaged<IntPtr, NativeList**, int> DirectoriesSharedGet;
    public delegate* unmanaged<IntPtr, NativeText*, int> DirectoriesUserGet;
    public delegate* unmanaged<NativeText, NativeText*, nuint, NativeText, int> DirectoriesSet;
    public delegate* unmanaged<IntPtr, NativeText*, int> DefinitionAdminNameGet;
    public delegate* unmanaged<IntPtr, NativeText*, int> NodeNameGet;
    public delegate* unmanaged<IntPtr, int*, int> NodeHasChildren;
    public delegate* unmanaged<IntPtr, nuint*, int> NodeChildCount;
    public delegate* unmanaged<IntPtr, nuint, IntPtr*, int> NodeChildGet;
    public delegate* unmanaged<IntPtr, int, int, int> CallbackProgress;
    public delegate* unmanaged<IntPtr, NativeText, int> CallbackMessage;
}

/// <summary>
/// How the managed side reaches the store: the face's table, found once per process.
/// Inside a native host the bridge library hands its table over before it runs any
/// managed code (<see cref="Use"/>), so the managed side calls the very library
/// that holds the host's store. A purely managed host (the tests) loads the bridge
/// library itself, from the folder the bridge assemblies are installed in, never
/// from the working folder.
/// </summary>
internal static unsafe partial class Face
{
    /// <summary>The face version these assemblies were built for (VYR_FACE_VERSION).</summary>
    public const uint Version = 2;

    public const int Ok = 0;
    public const int Failed = 1;
    public const int Error = 2;
    public const int Disposed = 3;
    public const int Invalid = 4;
    public const int Busy = 5;

    private const string BridgeLibrary = "vyr_bridge";
    private static FaceTable* table;
    private static readonly object tableLock = new();

    /// <summary>Handles that finalizers gave up, ended at the next face call (never by a finalizer).</summary>
    private static readonly ConcurrentQueue<(IntPtr Handle, bool IsAccess)> abandoned = new();
    private static int abandonedCount;

    static Face()
    {
        NativeLibrary.SetDllImportResolver(typeof(Face).Assembly, Resolve);
    }

    /// <summary>
    /// The handshake of a native host: the bridge library that started the runtime gives its
    /// table, already checked for its version, before any managed code of the system runs.
    /// </summary>
    public static void Use(FaceTable* given)
    {
        lock (tableLock)
        {
            table = given;
        }
    }

    /// <summary>The table, with every handle that a finalizer gave up ended first.</summary>
    public static FaceTable* Table
    {
        get
        {
            FaceTable* found = table;
            if (found == null)
            {
                found = Load();
            }
            if (Volatile.Read(ref abandonedCount) != 0)
            {
                Drain(found);
            }
            return found;
        }
    }

    /// <summary>Queues a handle for ending at the next face call. Called by finalizers only.</summary>
    public static void Abandon(IntPtr handle, bool isAccess)
    {
        abandoned.Enqueue((handle, isAccess));
        Interlocked.Increment(ref abandonedCount);
    }

    /// <summary>Ends every queued handle; used before a reset and by the tests.</summary>
    public static void Drain() => Drain(Table);

    private static void Drain(FaceTable* face)
    {
        while (abandoned.TryDequeue(out var entry))
        {
            Interlocked.Decrement(ref abandonedCount);
            if (entry.IsAccess)
            {
                face->AccessAbandon(entry.Handle);
            }
            else
            {
                face->AdminRelease(entry.Handle);
            }
        }
    }

    private static FaceTable* Load()
    {
        lock (tableLock)
        {
            if (table == null)
            {
                FaceTable* found = vyr_face_get(Version);
                if (found == null)
                {
                    throw new InvalidOperationException(
                        $"The bridge library beside {typeof(Face).Assembly.Location} has no store face of version {Version}.");
                }
                table = found;
            }
            return table;
        }
    }

    [LibraryImport(BridgeLibrary)]
    private static partial FaceTable* vyr_face_get(uint version);

    // The bridge library from the folder of these assemblies: its development name, else
    // the file named by its major version.
    private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
    {
        if (name != BridgeLibrary)
        {
            return IntPtr.Zero;
        }
        string folder = Path.GetDirectoryName(assembly.Location) ?? "";
        string plain = Path.Combine(folder, "lib" + BridgeLibrary + ".so");
        if (File.Exists(plain))
        {
            return NativeLibrary.Load(plain);
        }
        foreach (string file in Directory.EnumerateFiles(folder, "lib" + BridgeLibrary + ".so.*"))
        {
            return NativeLibrary.Load(file);
        }
        throw new DllNotFoundException($"The bridge library lib{BridgeLibrary}.so is not in {folder}.");
    }

    /// <summary>Throws what the status stands for; returns on <see cref="Ok"/> and <see cref="Failed"/>.</summary>
    public static int Check(int status, string what)
    {
        switch (status)
        {
            case Ok:
            case Failed:
                return status;
            case Error:
                throw NativeException.Take(Table);
            case Disposed:
                throw new ObjectDisposedException(what, $"{what}: the store it was made for was reset.");
            case Busy:
                throw new InvalidOperationException(
                    "The store cannot be reset while a write access is open or a classification run is in progress.");
            default:
                throw new ArgumentException($"{what}: an argument the store does not take.");
        }
    }
}
