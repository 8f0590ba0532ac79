using System;

namespace vyr.bridge;

/// <summary>
/// A C++ exception that ended a store operation, as the managed side sees it: the native
/// type's name and its message. The bridge keeps the native exception under
/// <see cref="Token"/> for a while, so that when this exception leaves a module's run
/// unhandled, the native caller receives the very exception the store threw.
/// </summary>
public sealed class NativeException : Exception
{
    internal NativeException(string nativeTypeName, string message, ulong token) : base(message)
    {
        NativeTypeName = nativeTypeName;
        Token = token;
    }

    /// <summary>The C++ type of the exception, as "std::system_error".</summary>
    public string NativeTypeName { get; }

    /// <summary>The key under which the bridge keeps the native exception.</summary>
    public ulong Token { get; }

    internal static unsafe NativeException Take(FaceTable* face)
    {
        NativeError* error = null;
        if (face->ErrorGet(&error) != Face.Ok || error == null)
        {
            return new NativeException("unknown", "A native exception ended the operation.", 0);
        }
        try
        {
            return new NativeException(Text.Read(error->Type), Text.Read(error->Message), error->Token);
        }
        finally
        {
            face->FreeBlock(error);
        }
    }
}
