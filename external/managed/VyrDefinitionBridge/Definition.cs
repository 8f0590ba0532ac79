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
    private readonly RunScope? scope;

    /// <summary>Wraps the native handle, not owned.</summary>
    public Admin(IntPtr nativeAdmin)
    {
        if (nativeAdmin == IntPtr.Zero)
        {
            throw new ArgumentNullException(nameof(nativeAdmin));
        }
        native = nativeAdmin;
    }

    internal Admin(IntPtr nativeAdmin, RunScope? scope) : this(nativeAdmin)
    {
        this.scope = scope;
    }

    private IntPtr Native
    {
        get
        {
            scope?.Check(nameof(Admin));
            return native;
        }
    }

    /// <summary>The name of the definition admin.</summary>
    public string sNameGet()
    {
        FaceTable* face = Face.Table;
        NativeText text;
        Face.Check(face->DefinitionAdminNameGet(Native, &text), nameof(Admin));
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
    private readonly RunScope? scope;

    /// <summary>Wraps the native node, not owned.</summary>
    public Node(IntPtr nativeNode)
    {
        if (nativeNode == IntPtr.Zero)
        {
            throw new ArgumentNullException(nameof(nativeNode));
        }
        native = nativeNode;
    }

    internal Node(IntPtr nativeNode, RunScope? scope) : this(nativeNode)
    {
        this.scope = scope;
    }

    private IntPtr Native
    {
        get
        {
            scope?.Check(nameof(Node));
            return native;
        }
    }

    /// <summary>Whether the node has child nodes.</summary>
    public bool boHasChildren()
    {
        int has;
        Face.Check(Face.Table->NodeHasChildren(Native, &has), nameof(Node));
        return has != 0;
    }

    /// <summary>The node's name.</summary>
    public string sNameGet()
    {
        FaceTable* face = Face.Table;
        NativeText text;
        Face.Check(face->NodeNameGet(Native, &text), nameof(Node));
        return Text.Take(text, face);
    }

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
            children.Add(new Node(child, scope));
        }
        return children.AsReadOnly();
    }
}
