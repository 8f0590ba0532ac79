using System;
using System.Collections.Generic;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Runtime.Loader;
using vyr.bridge.classification;

namespace vyr.bridge.entry;

/// <summary>
/// What a managed call gives back to the bridge library when it fails: the exception's full
/// type name, message and stack trace as NUL-terminated UTF-8 blocks that the bridge frees
/// with free(), and the token of a native exception that left the module unhandled.
/// </summary>
[StructLayout(LayoutKind.Sequential)]
public struct EntryError
{
    /// <summary>The exception's full type name.</summary>
    public IntPtr Type;
    /// <summary>Its message.</summary>
    public IntPtr Message;
    /// <summary>Its stack trace.</summary>
    public IntPtr StackTrace;
    /// <summary>The token of the native exception it stands for, or 0.</summary>
    public ulong Token;
}

/// <summary>
/// The managed half of the entry points, called by the bridge library through function
/// pointers once it has started the runtime. Each method returns 0 when it succeeded, 1 when a
/// managed exception ended it (described in the EntryError), and -1 when the module cannot be
/// used (the reason in the EntryError's message). No exception ever leaves a method.
/// </summary>
public static unsafe class Entry
{
    private const int Succeeded = 0;
    private const int Threw = 1;
    private const int Refused = -1;

    // The modules loaded so far, by file: each in a load context of its own. Guarded by itself.
    private static readonly Dictionary<string, ModuleType> loaded = new(StringComparer.Ordinal);

    /// <summary>Hands the managed side the face of the bridge library that started the runtime.</summary>
    [UnmanagedCallersOnly]
    public static int Start(IntPtr faceTable, EntryError* error)
    {
        var given = (FaceTable*)faceTable;
        if (given == null || given->Version != Face.Version || given->Size < (uint)sizeof(FaceTable))
        {
            Describe(error, "vyr.bridge.entry.FaceVersion",
                $"The bridge library's store face is not of version {Face.Version}, which these assemblies were built for.");
            return Refused;
        }
        Face.Use(given);
        return Succeeded;
    }

    /// <summary>Makes a module object from the module file (a UTF-8 path); a GC handle to it in *module.</summary>
    [UnmanagedCallersOnly]
    public static int ModuleCreate(byte* path, nuint pathSize, IntPtr* module, EntryError* error)
    {
        string file = "";
        try
        {
            file = Marshal.PtrToStringUTF8((IntPtr)path, checked((int)pathSize));
            ModuleType type = ModuleTypeGet(file);
            object instance = type.Constructor.Invoke(BindingFlags.DoNotWrapExceptions, null, null, null);
            *module = GCHandle.ToIntPtr(GCHandle.Alloc(new ModuleObject(type, instance)));
            return Succeeded;
        }
        catch (ModuleRefusal refusal)
        {
            Describe(error, "", refusal.Message);
            return Refused;
        }
        catch (Exception thrown)
        {
            Describe(error, thrown);
            return Threw;
        }
    }

    /// <summary>
    /// Makes the run's proxies around the caller's objects, the node first when there is one,
    /// then the directory service, the store and the definition admin, then the callback, and
    /// calls vInit. A GC handle to the run in *run, also when vInit throws.
    /// </summary>
    [UnmanagedCallersOnly]
    public static int RunBegin(IntPtr module, IntPtr node, IntPtr directories, IntPtr admin, IntPtr definitionAdmin,
        IntPtr callback, IntPtr* run, EntryError* error)
    {
        *run = IntPtr.Zero;
        try
        {
            var target = (ModuleObject)GCHandle.FromIntPtr(module).Target!;
            var scope = new RunScope();
            var made = new Run(target, scope);
            *run = GCHandle.ToIntPtr(GCHandle.Alloc(made));
            if (node != IntPtr.Zero)
            {
                made.Node = new definition.Node(node, scope);
            }
            var directoriesProxy = new Directories(directories, scope);
            var adminProxy = new Admin(admin, scope);
            var definitionProxy = new definition.Admin(definitionAdmin, scope);
            if (callback != IntPtr.Zero)
            {
                made.Callback = new CommonClassificationCallback(callback, scope);
            }
            target.Type.Init(target.Instance, directoriesProxy, adminProxy, definitionProxy);
            return Succeeded;
        }
        catch (Exception thrown)
        {
            Describe(error, thrown);
            return Threw;
        }
    }

    /// <summary>The classification run, with the strings made from exactly the code units given.</summary>
    [UnmanagedCallersOnly]
    public static int Classify(IntPtr run, char* name, int nameLength, char* filter, int filterLength, int iLevel,
        int outputLevel, char* definition, int definitionLength, EntryError* error)
    {
        try
        {
            var made = (Run)GCHandle.FromIntPtr(run).Target!;
            string definitionText = new(definition, 0, definitionLength);
            string filterText = new(filter, 0, filterLength);
            string nameText = new(name, 0, nameLength);
            made.Module.Type.Classify(made.Module.Instance, nameText, filterText, iLevel, outputLevel, definitionText,
                made.Callback);
            return Succeeded;
        }
        catch (Exception thrown)
        {
            Describe(error, thrown);
            return Threw;
        }
    }

    /// <summary>The run over the definition nodes given to RunBegin.</summary>
    [UnmanagedCallersOnly]
    public static int ClassifyNodes(IntPtr run, char* name, int nameLength, EntryError* error)
    {
        try
        {
            var made = (Run)GCHandle.FromIntPtr(run).Target!;
            made.Module.Type.ClassifyNodes(made.Module.Instance, new string(name, 0, nameLength), made.Node!);
            return Succeeded;
        }
        catch (Exception thrown)
        {
            Describe(error, thrown);
            return Threw;
        }
    }

    /// <summary>
    /// Ends the call: the run's open write accesses are written back and released, its proxies
    /// closed, and the handles of the run and the module freed. Either may be zero.
    /// </summary>
    [UnmanagedCallersOnly]
    public static void End(IntPtr module, IntPtr run)
    {
        try
        {
            if (run != IntPtr.Zero)
            {
                GCHandle handle = GCHandle.FromIntPtr(run);
                ((Run)handle.Target!).Scope.End();
                handle.Free();
            }
        }
        finally
        {
            if (module != IntPtr.Zero)
            {
                GCHandle.FromIntPtr(module).Free();
            }
        }
    }

    /// <summary>The module type of the file, loaded once per file into a load context of its own.</summary>
    private static ModuleType ModuleTypeGet(string file)
    {
        lock (loaded)
        {
            if (loaded.TryGetValue(file, out ModuleType? known))
            {
                return known;
            }
            ModuleType type = ModuleType.Load(file);
            loaded.Add(file, type);
            return type;
        }
    }

    private static void Describe(EntryError* error, Exception thrown)
    {
        Describe(error, thrown.GetType().FullName ?? thrown.GetType().Name, thrown.Message, thrown.StackTrace ?? "");
        error->Token = thrown is NativeException native ? native.Token : 0;
    }

    private static void Describe(EntryError* error, string type, string message, string stackTrace = "")
    {
        error->Type = Marshal.StringToCoTaskMemUTF8(type);
        error->Message = Marshal.StringToCoTaskMemUTF8(message);
        error->StackTrace = Marshal.StringToCoTaskMemUTF8(stackTrace);
        error->Token = 0;
    }

    private sealed record ModuleObject(ModuleType Type, object Instance);

    private sealed class Run
    {
        public Run(ModuleObject module, RunScope scope)
        {
            Module = module;
            Scope = scope;
        }

        public ModuleObject Module { get; }
        public RunScope Scope { get; }
        public definition.Node? Node { get; set; }
        public CommonClassificationCallback? Callback { get; set; }
    }
}

/// <summary>Why a module file cannot be used; becomes the bridge's ModuleLoadException.</summary>
internal sealed class ModuleRefusal : Exception
{
    public ModuleRefusal(string message) : base(message) { }
}

/// <summary>
/// A module class found in its file and checked against what the entry points call: its
/// constructor and its three methods, called through delegates so that what a module throws
/// reaches the caller as it was thrown.
/// </summary>
internal sealed class ModuleType
{
    private const string ModuleTypeName = "CommonClassification.Modules.CommonClassificationModule";

    private static readonly string[] bridgeAssemblies =
        { "VyrBridge", "VyrDirectoriesBridge", "VyrClassificationBridge", "VyrDefinitionBridge" };

    private ModuleType(ConstructorInfo constructor, MethodInfo init, MethodInfo classify, MethodInfo classifyNodes)
    {
        Constructor = constructor;
        initMethod = init;
        classifyMethod = classify;
        classifyNodesMethod = classifyNodes;
    }

    private readonly MethodInfo initMethod;
    private readonly MethodInfo classifyMethod;
    private readonly MethodInfo classifyNodesMethod;

    public ConstructorInfo Constructor { get; }

    public void Init(object module, IDirectories directories, Admin admin, definition.Admin definitionAdmin) =>
        ((Action<IDirectories, Admin, definition.Admin>)initMethod.CreateDelegate(
            typeof(Action<IDirectories, Admin, definition.Admin>), module))(directories, admin, definitionAdmin);

    public void Classify(object module, string name, string filter, int iLevel, int outputLevel, string definition,
        CommonClassificationCallback? callback) =>
        ((Action<string, string, int, int, string, CommonClassificationCallback?>)classifyMethod.CreateDelegate(
            typeof(Action<string, string, int, int, string, CommonClassificationCallback?>), module))(
            name, filter, iLevel, outputLevel, definition, callback);

    public void ClassifyNodes(object module, string name, definition.Node node) =>
        ((Action<string, definition.Node>)classifyNodesMethod.CreateDelegate(
            typeof(Action<string, definition.Node>), module))(name, node);

    public static ModuleType Load(string file)
    {
        if (!File.Exists(file))
        {
            throw new ModuleRefusal("the file does not exist");
        }
        Assembly assembly;
        try
        {
            assembly = new ModuleLoadContext(file).LoadFromAssemblyPath(file);
        }
        catch (BadImageFormatException)
        {
            throw new ModuleRefusal("the file is not a .NET assembly");
        }
        catch (FileLoadException error)
        {
            throw new ModuleRefusal("the assembly cannot be loaded: " + error.Message);
        }
        foreach (AssemblyName reference in assembly.GetReferencedAssemblies())
        {
            int index = Array.IndexOf(bridgeAssemblies, reference.Name);
            if (index < 0)
            {
                continue;
            }
            Version ours = typeof(Face).Assembly.GetName().Version!;
            if (reference.Version is { } theirs && theirs.Major != ours.Major)
            {
                throw new ModuleRefusal(
                    $"the module was built against {reference.Name} {theirs}, and these bridge assemblies are of major version {ours.Major}");
            }
        }
        Type? type = assembly.GetType(ModuleTypeName, throwOnError: false);
        if (type == null || !type.IsPublic || type.IsAbstract)
        {
            throw new ModuleRefusal($"the assembly {assembly.GetName().Name} has no public class {ModuleTypeName}");
        }
        ConstructorInfo constructor = type.GetConstructor(Type.EmptyTypes)
            ?? throw new ModuleRefusal($"{ModuleTypeName} has no public constructor without parameters");
        return new ModuleType(constructor,
            MethodGet(type, "vInit", typeof(IDirectories), typeof(Admin), typeof(definition.Admin)),
            MethodGet(type, "vClassify", typeof(string), typeof(string), typeof(int), typeof(int), typeof(string),
                typeof(CommonClassificationCallback)),
            MethodGet(type, "vClassifyNodes", typeof(string), typeof(definition.Node)));
    }

    private static MethodInfo MethodGet(Type type, string name, params Type[] parameters)
    {
        MethodInfo? method = type.GetMethod(name, BindingFlags.Public | BindingFlags.Instance, null, parameters, null);
        if (method == null || method.ReturnType != typeof(void))
        {
            throw new ModuleRefusal(
                $"{ModuleTypeName} has no public method void {name}({string.Join(", ", Array.ConvertAll(parameters, p => p.FullName))})");
        }
        return method;
    }

    /// <summary>
    /// The load context of one module file: the bridge assemblies come from the default context,
    /// where the entry points live, whatever copies lie beside the module; the module's other
    /// dependencies come from beside it.
    /// </summary>
    private sealed class ModuleLoadContext : AssemblyLoadContext
    {
        private readonly AssemblyDependencyResolver resolver;

        public ModuleLoadContext(string file) : base("module " + file)
        {
            resolver = new AssemblyDependencyResolver(file);
        }

        protected override Assembly? Load(AssemblyName name)
        {
            if (Array.IndexOf(bridgeAssemblies, name.Name) >= 0)
            {
                return null;
            }
            string? path = resolver.ResolveAssemblyToPath(name);
            return path == null ? null : LoadFromAssemblyPath(path);
        }
    }
}
