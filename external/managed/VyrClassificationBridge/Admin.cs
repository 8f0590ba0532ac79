using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;

namespace vyr.bridge.classification;

/// <summary>
/// The classification store, as a module reaches it: the managed proxy of the native
/// AdminWrapper. Each member forwards to the wrapper operation of the same name and takes
/// the store's lock as it does. What the native operations give as pointers into the store
/// comes as copies made under the lock, so they stay valid whatever the store does next.
/// A missing id or source is a value (null, an empty string or set, false), never an error.
/// Thread-safe. After <see cref="vAdminReset"/> every member of a proxy made before throws
/// <see cref="ObjectDisposedException"/>. A C++ exception of the store arrives as
/// <see cref="NativeException"/>; a refused operation as <see cref="FailureException"/>.
/// </summary>
public sealed unsafe class Admin
{
    private IntPtr handle;
    private readonly RunScope? scope;

    /// <summary>A proxy bound to the process-wide store, which it creates on first use.</summary>
    public Admin()
    {
        IntPtr made;
        Face.Check(Face.Table->AdminMake(&made), nameof(Admin));
        handle = made;
    }

    /// <summary>The proxy of a caller's native AdminWrapper (a vyr::bridge::classification::AdminWrapper*).</summary>
    public Admin(IntPtr nativeWrapper)
    {
        if (nativeWrapper == IntPtr.Zero)
        {
            throw new ArgumentNullException(nameof(nativeWrapper));
        }
        IntPtr made;
        Face.Check(Face.Table->AdminWrap(nativeWrapper, &made), nameof(Admin));
        handle = made;
    }

    // The proxy a run makes of its caller's wrapper: it ends with the run, and so do the write
    // accesses made through it that are still open then.
    internal Admin(IntPtr nativeWrapper, RunScope scope) : this(nativeWrapper)
    {
        this.scope = scope;
        scope.Own(new RunEnd(this));
    }

    /// <summary>Gives the native handle up; it is released at the next call of the store.</summary>
    ~Admin()
    {
        if (handle != IntPtr.Zero)
        {
            Face.Abandon(handle, isAccess: false);
        }
    }

    private sealed class RunEnd : IDisposable
    {
        private readonly Admin admin;
        public RunEnd(Admin admin) => this.admin = admin;

        public void Dispose()
        {
            IntPtr ending = admin.handle;
            admin.handle = IntPtr.Zero;
            GC.SuppressFinalize(admin);
            Face.Table->AdminRelease(ending);
        }
    }

    private IntPtr Native
    {
        get
        {
            scope?.Check(nameof(Admin));
            return handle != IntPtr.Zero ? handle : throw new ObjectDisposedException(nameof(Admin));
        }
    }

    /// <summary>Whether the store holds the id (a file of it reads at some level, or it was created).</summary>
    public bool boClassificationExists(string id)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        int exists;
        Face.Check(Face.Table->AdminClassificationExists(Native, idText.Text, &exists), nameof(Admin));
        return exists != 0;
    }

    /// <summary>
    /// Writes a new classification's file at the level, holding the texts and flags and no pairs,
    /// and caches it. Returns true; throws <see cref="FailureException"/> when it did not (an id
    /// that exists already included).
    /// </summary>
    public bool boCreateClassification(string id, string sText2, string sText3, string sText4, string sText5,
        bool boFlag1, bool boFlag2, Level level)
    {
        byte* a = stackalloc byte[Text.StackBytes], b = stackalloc byte[Text.StackBytes],
            c = stackalloc byte[Text.StackBytes], d = stackalloc byte[Text.StackBytes], e = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), a);
        using var text2 = new Utf8Arg(sText2, nameof(sText2), b);
        using var text3 = new Utf8Arg(sText3, nameof(sText3), c);
        using var text4 = new Utf8Arg(sText4, nameof(sText4), d);
        using var text5 = new Utf8Arg(sText5, nameof(sText5), e);
        NativeFailure* failure = null;
        int status = Face.Check(Face.Table->AdminClassificationCreate(Native, idText.Text, text2.Text, text3.Text,
            text4.Text, text5.Text, boFlag1 ? 1 : 0, boFlag2 ? 1 : 0, (int)level, &failure), nameof(Admin));
        if (status == Face.Failed)
        {
            throw new FailureException(Failure.Take(failure, Face.Table));
        }
        return true;
    }

    /// <summary>
    /// A copy of each level's pairs in the id's cache: level, then source id, then its classified
    /// ids (possibly none). An unknown id gets an empty cache entry, as the native cachesGet does.
    /// </summary>
    public IReadOnlyDictionary<Level, IReadOnlyDictionary<string, IReadOnlySet<string>>> cachesGet(string id)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        FaceTable* face = Face.Table;
        NativeLevels* levels;
        Face.Check(face->AdminLevelsGet(Native, idText.Text, &levels), nameof(Admin));
        try
        {
            // The store gives every level, source and set sorted in its own order.
            var copy = new SortedDictionary<Level, IReadOnlyDictionary<string, IReadOnlySet<string>>>();
            for (nuint l = 0; l < levels->Count; ++l)
            {
                NativeLevel* level = &levels->Levels[l];
                var keys = new string[checked((int)level->SourceCount)];
                var sets = new IReadOnlySet<string>[keys.Length];
                for (int s = 0; s < keys.Length; ++s)
                {
                    NativeSource* source = &level->Sources[s];
                    var classified = new string[checked((int)source->ClassifiedCount)];
                    for (int c = 0; c < classified.Length; ++c)
                    {
                        classified[c] = Text.Read(source->Classified[c]);
                    }
                    keys[s] = Text.Read(source->Id);
                    sets[s] = new IdSet(classified);
                }
                copy.Add((Level)level->Level, new IdMap(keys, sets));
            }
            return new ReadOnlyDictionary<Level, IReadOnlyDictionary<string, IReadOnlySet<string>>>(copy);
        }
        finally
        {
            face->FreeBlock(levels);
        }
    }

    /// <summary>Text 2 of the highest level that has the id; empty for an unknown id.</summary>
    public string sText2Get(string id) => TextGet(id, 2);
    /// <summary>Text 3, likewise.</summary>
    public string sText3Get(string id) => TextGet(id, 3);
    /// <summary>Text 6, likewise.</summary>
    public string sText6Get(string id) => TextGet(id, 6);
    /// <summary>Text 4, likewise.</summary>
    public string sText4Get(string id) => TextGet(id, 4);
    /// <summary>Text 5, likewise.</summary>
    public string sText5Get(string id) => TextGet(id, 5);

    /// <summary>Whether the merged view maps the source id to the classified id.</summary>
    public bool boMappingExists(string id, string sSourceId, string sClassifiedId)
    {
        byte* a = stackalloc byte[Text.StackBytes], b = stackalloc byte[Text.StackBytes],
            c = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), a);
        using var sourceText = new Utf8Arg(sSourceId, nameof(sSourceId), b);
        using var classifiedText = new Utf8Arg(sClassifiedId, nameof(sClassifiedId), c);
        int exists;
        Face.Check(Face.Table->AdminMappingExists(Native, idText.Text, sourceText.Text, classifiedText.Text, &exists),
            nameof(Admin));
        return exists != 0;
    }

    /// <summary>
    /// A copy of the source id's classified ids in the merged view; null for an unknown id or
    /// source, an empty set for a source that the deciding level lists with none.
    /// </summary>
    public IReadOnlySet<string>? pClassifiedIdsGet(string id, string sourceId) =>
        SetGet(id, sourceId, nameof(sourceId), classified: true);

    /// <summary>A copy of the classified id's source ids in the merged view; null when none.</summary>
    public IReadOnlySet<string>? pSourceIdsGet(string id, string classifiedId) =>
        SetGet(id, classifiedId, nameof(classifiedId), classified: false);

    /// <summary>The one classified id of the source id (the smallest when there are several); empty when none.</summary>
    public string sClassifiedIdGet(string id, string sourceId) => OneGet(id, sourceId, nameof(sourceId), classified: true);

    /// <summary>The one source id of the classified id, likewise.</summary>
    public string sSourceIdGet(string id, string classifiedId) => OneGet(id, classifiedId, nameof(classifiedId), classified: false);

    /// <summary>Every pair of the id's merged view, ordered by source id, then classified id.</summary>
    public IReadOnlyList<KeyValuePair<string, string>> mappingsGet(string id)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        FaceTable* face = Face.Table;
        NativeList* pairs;
        Face.Check(face->AdminMappingsGet(Native, idText.Text, &pairs), nameof(Admin));
        List<string> flat = Text.TakeList(pairs, face)!;
        var result = new List<KeyValuePair<string, string>>(flat.Count / 2);
        for (int index = 0; index + 1 < flat.Count; index += 2)
        {
            result.Add(new KeyValuePair<string, string>(flat[index], flat[index + 1]));
        }
        return result.AsReadOnly();
    }

    /// <summary>Write access to the id's levels; dispose of it to write the locked levels back.</summary>
    public WriteAccess writeAccessGet(string id)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        IntPtr access;
        Face.Check(Face.Table->AdminWriteAccessGet(Native, idText.Text, &access), nameof(Admin));
        var made = new WriteAccess(access);
        scope?.Own(made);
        return made;
    }

    /// <summary>Reads again the id's level files that changed; true when the view of the id changed.</summary>
    public bool boRefresh(string id) => boRefresh(id, out _);

    /// <summary>
    /// The same; <paramref name="unread"/> names the first level file that is there and did not
    /// read, and is null when every one read.
    /// </summary>
    public bool boRefresh(string id, out Failure? unread)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        FaceTable* face = Face.Table;
        int changed;
        NativeFailure* failure;
        Face.Check(face->AdminRefresh(Native, idText.Text, &changed, &failure), nameof(Admin));
        unread = failure == null ? null : Failure.Take(failure, face);
        return changed != 0;
    }

    /// <summary>A count that moves whenever the store's view of the id changes; 0 for an id not loaded.</summary>
    public ulong changeCountGet(string id)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        ulong count;
        Face.Check(Face.Table->AdminChangeCountGet(Native, idText.Text, &count), nameof(Admin));
        return count;
    }

    /// <summary>
    /// The level files of the id that were there and did not read when the store last read them
    /// (its first load or a refresh), lowest level first; empty when every one read. Loads the
    /// id on first use, as the queries do.
    /// </summary>
    public IReadOnlyList<Failure> readFailuresGet(string id)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        FaceTable* face = Face.Table;
        NativeFailures* failures;
        Face.Check(face->AdminReadFailuresGet(Native, idText.Text, &failures), nameof(Admin));
        try
        {
            var list = new List<Failure>(checked((int)failures->Count));
            for (nuint index = 0; index < failures->Count; ++index)
            {
                list.Add(Failure.Read(&failures->Items[index]));
            }
            return list.AsReadOnly();
        }
        finally
        {
            face->FreeBlock(failures);
        }
    }

    /// <summary>
    /// Destroys the process-wide store, writing nothing; every proxy and write access made before
    /// is disposed. Throws <see cref="InvalidOperationException"/>, and resets nothing, while a
    /// write access is open or a classification run is in progress. Must not run while another
    /// thread uses the store.
    /// </summary>
    public static void vAdminReset()
    {
        Face.Drain();
        Face.Check(Face.Table->AdminReset(), nameof(Admin));
    }

    private string TextGet(string id, int which)
    {
        byte* idBuffer = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), idBuffer);
        FaceTable* face = Face.Table;
        var text = new NativeText();
        Face.Check(face->AdminTextGet(Native, idText.Text, which, &text), nameof(Admin));
        return Text.Take(text, face);
    }

    private IReadOnlySet<string>? SetGet(string id, string key, string keyName, bool classified)
    {
        byte* a = stackalloc byte[Text.StackBytes], b = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), a);
        using var keyText = new Utf8Arg(key, keyName, b);
        FaceTable* face = Face.Table;
        NativeList* list;
        Face.Check(classified
            ? face->AdminClassifiedIdsGet(Native, idText.Text, keyText.Text, &list)
            : face->AdminSourceIdsGet(Native, idText.Text, keyText.Text, &list), nameof(Admin));
        List<string>? items = Text.TakeList(list, face);
        return items == null ? null : new IdSet(items.ToArray());
    }

    private string OneGet(string id, string key, string keyName, bool classified)
    {
        byte* a = stackalloc byte[Text.StackBytes], b = stackalloc byte[Text.StackBytes],
            result = stackalloc byte[Text.StackBytes];
        using var idText = new Utf8Arg(id, nameof(id), a);
        using var keyText = new Utf8Arg(key, keyName, b);
        FaceTable* face = Face.Table;
        var text = new NativeText { Data = result, Size = Text.StackBytes };
        Face.Check(classified
            ? face->AdminClassifiedIdGet(Native, idText.Text, keyText.Text, &text)
            : face->AdminSourceIdGet(Native, idText.Text, keyText.Text, &text), nameof(Admin));
        return Text.Take(text, result, face);
    }
}
