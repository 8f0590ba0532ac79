using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace vyr.bridge;

/// <summary>
/// Text across the face: UTF-8 both ways, strictly. A string that holds a lone surrogate is
/// refused with <see cref="ArgumentException"/> (never turned into U+FFFD, which would name
/// another id); bytes from the store that are not UTF-8 are refused the same way. A
/// character outside the Basic Multilingual Plane is two UTF-16 units.
/// </summary>
internal static unsafe class Text
{
    /// <summary>UTF-8 that refuses what it cannot encode or decode, instead of replacing it.</summary>
    public static readonly UTF8Encoding Strict = new(encoderShouldEmitUTF8Identifier: false, throwOnInvalidBytes: true);

    /// <summary>The UTF-8 bytes of a string handed to the store.</summary>
    public static byte[] Bytes(string value, string parameter)
    {
        ArgumentNullException.ThrowIfNull(value, parameter);
        try
        {
            return Strict.GetBytes(value);
        }
        catch (EncoderFallbackException error)
        {
            throw new ArgumentException(
                $"The text holds a lone surrogate at index {error.Index}, which UTF-8 cannot carry.", parameter, error);
        }
    }

    /// <summary>The bytes a call keeps on its stack for each argument and for its result.</summary>
    public const int StackBytes = 256;

    /// <summary>
    /// The string of a text the face gave back into the caller's buffer, or, when it did not fit
    /// there, in a block of its own, which is freed.
    /// </summary>
    public static string Take(NativeText text, byte* buffer, FaceTable* face) =>
        text.Data == buffer ? Read(text) : Take(text, face);

    /// <summary>The face's view of bytes pinned by the caller.</summary>
    public static NativeText Of(byte* data, byte[] bytes) => new() { Data = data, Size = (nuint)bytes.Length };

    /// <summary>The string of text that lies in a block of the face; the block stays.</summary>
    public static string Read(NativeText text) =>
        text.Size == 0 ? string.Empty : Strict.GetString(text.Data, checked((int)text.Size));

    /// <summary>The string of a text block the face handed out, which is freed.</summary>
    public static string Take(NativeText text, FaceTable* face)
    {
        try
        {
            return Read(text);
        }
        finally
        {
            face->FreeBlock(text.Data);
        }
    }

    /// <summary>The strings of a list block, which is freed; null for a null list.</summary>
    public static List<string>? TakeList(NativeList* list, FaceTable* face)
    {
        if (list == null)
        {
            return null;
        }
        try
        {
            var items = new List<string>(checked((int)list->Count));
            for (nuint index = 0; index < list->Count; ++index)
            {
                items.Add(Read(list->Items[index]));
            }
            return items;
        }
        finally
        {
            face->FreeBlock(list);
        }
    }
}

/// <summary>
/// The UTF-8 form of one string handed to the store: in the caller's stack buffer of
/// <see cref="Text.StackBytes"/> when it fits, else in native memory that <see cref="Dispose"/>
/// frees. A lone surrogate is refused with <see cref="ArgumentException"/>. One call's argument.
/// </summary>
internal unsafe ref struct Utf8Arg
{
    private byte* heap;

    public Utf8Arg(string value, string parameter, byte* stack)
    {
        ArgumentNullException.ThrowIfNull(value, parameter);
        heap = null;
        try
        {
            if (value.Length * 3 <= vyr.bridge.Text.StackBytes)
            {
                int written = vyr.bridge.Text.Strict.GetBytes(value, new Span<byte>(stack, vyr.bridge.Text.StackBytes));
                Text = new NativeText { Data = stack, Size = (nuint)written };
                return;
            }
            int size = vyr.bridge.Text.Strict.GetByteCount(value);
            heap = (byte*)NativeMemory.Alloc((nuint)Math.Max(size, 1));
            vyr.bridge.Text.Strict.GetBytes(value, new Span<byte>(heap, size));
            Text = new NativeText { Data = heap, Size = (nuint)size };
        }
        catch (EncoderFallbackException error)
        {
            throw new ArgumentException(
                $"The text holds a lone surrogate at index {error.Index}, which UTF-8 cannot carry.", parameter, error);
        }
    }

    /// <summary>The face's view of the bytes.</summary>
    public NativeText Text { get; }

    public void Dispose()
    {
        if (heap != null)
        {
            NativeMemory.Free(heap);
            heap = null;
        }
    }
}
