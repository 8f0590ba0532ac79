using System;

namespace vyr.bridge;

/// <summary>
/// The base of a proxy around a native object that its caller owns (the directory service, a
/// definition object, the run's callback): the object's address and, for a proxy that an entry
/// point made, the run it belongs to. Such a proxy may be used only until its run ends; after,
/// each member throws <see cref="ObjectDisposedException"/>. Immutable.
/// </summary>
public abstract unsafe class NativeProxy
{
    private readonly IntPtr native;
    private readonly RunScope? scope;

    private protected NativeProxy(IntPtr nativeObject, string parameter, RunScope? scope)
    {
        if (nativeObject == IntPtr.Zero)
        {
            throw new ArgumentNullException(parameter);
        }
        native = nativeObject;
        this.scope = scope;
    }

    /// <summary>The run the proxy belongs to; null for one made by a managed host.</summary>
    private protected RunScope? Scope => scope;

    /// <summary>The native object, while the proxy may still be used.</summary>
    private protected IntPtr Native
    {
        get
        {
            scope?.Check(GetType().Name);
            return native;
        }
    }

    /// <summary>A text that a face function gives of the native object.</summary>
    private protected string TextGet(delegate* unmanaged<IntPtr, NativeText*, int> getter)
    {
        FaceTable* face = Face.Table;
        var text = new NativeText();
        Face.Check(getter(Native, &text), GetType().Name);
        return Text.Take(text, face);
    }
}
