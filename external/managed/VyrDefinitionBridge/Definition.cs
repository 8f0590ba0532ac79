using System;
using System.Collections.Generic;

namespace vyr.bridge.definition;

/// <summary>
/// The proxy of the definition library's admin handle (a vyr::bridge::definition::AdminWrapper*).
/// Valid while the native object lives: for one a host passed to a run, until the run returns.
/// </summary>
public sealed unsafe class Admin : NativeProxy
{
    /// <summary>Wraps the native handle, not owned.</summary>
    public Admin(IntPtr nativeAdmin) : base(nativeAdmin, nameof(nativeAdmin), null)
    {
    }

    internal Admin(IntPtr nativeAdmin, RunScope? scope) : base(nativeAdmin, nameof(nativeAdmin), scope)
    {
    }

    /// <summary>The name of the definition admin.</summary>
    public string sNameGet() => TextGet(Face.Table->DefinitionAdminNameGet);
}

/// <summary>
/// The proxy of a definition node (a vyr::definition::Node*): its name and child nodes.
/// Valid while the native node lives: for one a host passed to a run, until the run returns.
/// </summary>
public sealed unsafe class Node : NativeProxy
{
    /// <summary>Wraps the native node, not owned.</summary>
    public Node(IntPtr nativeNode) : base(nativeNode, nameof(nativeNode), null)
    {
    }

    internal Node(IntPtr nativeNode, RunScope? scope) : base(nativeNode, nameof(nativeNode), scope)
    {
    }

    /// <summary>Whether the node has child nodes.</summary>
    public bool boHasChildren()
    {
        int has;
        Face.Check(Face.Table->NodeHasChildren(Native, &has), nameof(Node));
        return has != 0;
    }

    /// <summary>The node's name.</summary>
    public string sNameGet() => TextGet(Face.Table->NodeNameGet);

    /// <summary>The node's children, in order.</summary>
    public IReadOnlyList<Node> childrenGet()
    {
        FaceTable* face = Face.Table;
        nuint count;
        Face.Check(face->NodeChildCount(Native, &count), nameof(Node));
        var children = new List<Node>(checked((int)count));
        for (nuint index = 0; index < count; ++index)
        {
            IntPtr child;
            Face.Check(face->NodeChildGet(Native, index, &child), nameof(Node));
            children.Add(new Node(child, Scope));
        }
        return children.AsReadOnly();
    }
}
