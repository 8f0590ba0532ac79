using System;
using System.Collections.Generic;

namespace vyr.bridge.definition;

/// <summary>
/// The proxy of the definition library's admin handle (a vyr::bridge::definition::AdminWrapper*).
/// Valid while the native object lives: for one a host passed to a run, until the run returns.
/// </summary>
public sealed unsafe class Admin
{
    private readonly IntPtr native;

    /// <summary>Wraps the native handle, not owned.</summary>
    public Admin(IntPtr nativeAdmin)
    {
        if (nativeAdmin == IntPtr.Zero)
        {
            throw new ArgumentNullException(nameof(nativeAdmin));
        }
        native = nativeAdmin;
    }

    /// <summary>The name of the definition admin.</summary>
    public string sNameGet()
    {
        FaceTable* face = Face.Table;
        NativeText text;
        Face.Check(face->DefinitionAdminNameGet(native, &text), nameof(Admin));
        return Text.Take(text, face);
    }
}

/// <summary>
/// The proxy of a definition node (a vyr::definition::Node*): its name and child nodes.
/// Valid while the native node lives: for one a host passed to a run, until the run returns.
/// </summary>
public sealed unsafe class Node
{
    private readonly IntPtr native;

    /// <summary>Wraps the native node, not owned.</summary>
    public Node(IntPtr nativeNode)
    {
        if (nativeNode == IntPtr.Zero)
        {
            throw new ArgumentNullException(nameof(nativeNode));
        }
        native = nativeNode;
    }

    /// <summary>Whether the node has child nodes.</summary>
    public bool boHasChildren()
    {
        int has;
        Face.Check(Face.Table->NodeHasChildren(native, &has), nameof(Node));
        return has != 0;
    }

    /// <summary>The node's name.</summary>
    public string sNameGet()
    {
        FaceTable* face = Face.Table;
        NativeText text;
        Face.Check(face->NodeNameGet(native, &text), nameof(Node));
        return Text.Take(text, face);
    }

    /// <summary>The node's children, in order.</summary>
    public IReadOnlyList<Node> childrenGet()
    {
        FaceTable* face = Face.Table;
        nuint count;
        Face.Check(face->NodeChildCount(native, &count), nameof(Node));
        var children = new List<Node>(checked((int)count));
        for (nuint index = 0; index < count; ++index)
        {
            IntPtr child;
            Face.Check(face->NodeChildGet(native, index, &child), nameof(Node));
            children.Add(new Node(child));
        }
        return children.AsReadOnly();
    }
}
