import java.io.BufferedWriter;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.IdentityHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Collectors;
import java.util.stream.Stream;

import org.objectweb.asm.ClassReader;
import org.objectweb.asm.ClassVisitor;
import org.objectweb.asm.Handle;
import org.objectweb.asm.Label;
import org.objectweb.asm.MethodVisitor;
import org.objectweb.asm.Opcodes;
import org.objectweb.asm.Type;

/**
 * What ASM reads from every class file under a directory, as the reference the class-file tests compare
 * the agent's model with. One run covers the whole corpus.
 *
 * <p>Arguments: the corpus directory and the directory to write into.
 *
 * <p>"corpus.txt": the absolute path of the corpus directory.
 *
 * <p>"descriptors.txt": every distinct method descriptor of the corpus (declared methods, NameAndType and
 * MethodType entries), one a line: the descriptor, a tab, ASM's argument type names joined with ", ", a
 * tab, ASM's return type name.
 *
 * <p>"constant-pools.txt": one line per class: its path relative to the corpus, its name, the offset of its
 * access flags, then for every pool index from 1 on "tag:length" (the entry's bytes with the tag) or "-"
 * for the empty slot after a Long or Double, all separated by tabs. A class ASM cannot read gives
 * "!" followed by its path and the reason.
 *
 * <p>"frames.txt": the stack-map frames as ASM expands them (ClassReader.EXPAND_FRAMES), for every class
 * of major version 50 or later that ASM can read. A line "C", tab, the class's path; then per method with
 * code a line "M", tab, its name and descriptor; then per frame a line "F", tab, the bytecode offset, tab,
 * the locals, tab, the stack. Types are separated by blanks, a long or double is one type: T top, I int,
 * F float, D double, J long, N null, U uninitialized this, L followed by the internal name or array
 * descriptor of an object type, u followed by the offset of the NEW of an uninitialized type.
 *
 * <p>"instructions.txt": the instructions ASM visits, for every class that ASM can read. A line "C", tab,
 * the class's path; then per method with code a line "M", tab, its name and descriptor, tab, the number of
 * instructions, tab, the FNV-1a hash (64 bits, hexadecimal) of their opcodes as ASM reports them: LDC_W and
 * LDC2_W as LDC, the short forms of loads and stores as the general ones, GOTO_W and JSR_W as GOTO and JSR,
 * a WIDE instruction as the opcode it modifies.
 */
public final class AsmDump {
  private static final int NAME_AND_TYPE = 12;
  private static final int METHOD_TYPE = 16;

  public static void main(String[] args) throws IOException {
    Path corpus = Paths.get(args[0]).toAbsolutePath();
    Path output = Paths.get(args[1]);
    Files.createDirectories(output);
    List<Path> classes;
    try (Stream<Path> files = Files.walk(corpus)) {
      classes = files.filter(p -> p.toString().endsWith(".class") && Files.isRegularFile(p))
          .sorted().collect(Collectors.toList());
    }
    Set<String> descriptors = new TreeSet<>();
    try (BufferedWriter pools = Files.newBufferedWriter(output.resolve("constant-pools.txt"), StandardCharsets.UTF_8);
         BufferedWriter frames = Files.newBufferedWriter(output.resolve("frames.txt"), StandardCharsets.UTF_8);
         BufferedWriter instructions =
             Files.newBufferedWriter(output.resolve("instructions.txt"), StandardCharsets.UTF_8)) {
      for (Path file : classes) {
        String relative = corpus.relativize(file).toString().replace('\\', '/');
        byte[] bytes = Files.readAllBytes(file);
        try {
          OffsetReader reader = new OffsetReader(bytes);
          String poolLine = poolLine(relative, reader, bytes, descriptors);
          String frameLines = frameLines(relative, reader);
          String instructionLines = instructionLines(relative, reader);
          pools.write(poolLine);
          frames.write(frameLines);
          instructions.write(instructionLines);
        } catch (RuntimeException e) {
          pools.write("!" + relative + "\t" + e);
        }
        pools.newLine();
      }
    }
    try (BufferedWriter out = Files.newBufferedWriter(output.resolve("descriptors.txt"), StandardCharsets.UTF_8)) {
      for (String descriptor : descriptors) {
        out.write(descriptor);
        out.write('\t');
        out.write(Stream.of(Type.getArgumentTypes(descriptor)).map(Type::getClassName)
            .collect(Collectors.joining(", ")));
        out.write('\t');
        out.write(Type.getReturnType(descriptor).getClassName());
        out.newLine();
      }
    }
    Files.write(output.resolve("corpus.txt"), corpus.toString().getBytes(StandardCharsets.UTF_8));
  }

  private static String poolLine(String relative, ClassReader reader, byte[] bytes, Set<String> descriptors) {
    StringBuilder line = new StringBuilder(relative).append('\t').append(reader.getClassName())
        .append('\t').append(reader.header);
    char[] buffer = new char[reader.getMaxStringLength()];
    int count = reader.getItemCount();
    for (int i = 1; i < count; i++) {
      int offset = reader.getItem(i);
      if (offset == 0) {
        line.append("\t-");
        continue;
      }
      int tag = bytes[offset - 1] & 0xFF;
      int next = reader.header;
      for (int j = i + 1; j < count; j++) {
        if (reader.getItem(j) != 0) {
          next = reader.getItem(j) - 1;
          break;
        }
      }
      line.append('\t').append(tag).append(':').append(next - (offset - 1));
      if (tag == NAME_AND_TYPE) {
        addMethodDescriptor(descriptors, reader.readUTF8(offset + 2, buffer));
      } else if (tag == METHOD_TYPE) {
        addMethodDescriptor(descriptors, reader.readUTF8(offset, buffer));
      }
    }
    reader.accept(new ClassVisitor(Opcodes.ASM9) {
      @Override
      public MethodVisitor visitMethod(int access, String name, String descriptor, String signature,
          String[] exceptions) {
        descriptors.add(descriptor);
        return null;
      }
    }, ClassReader.SKIP_CODE | ClassReader.SKIP_DEBUG | ClassReader.SKIP_FRAMES);
    return line.toString();
  }

  private static void addMethodDescriptor(Set<String> descriptors, String descriptor) {
    if (descriptor.startsWith("(")) descriptors.add(descriptor);
  }

  private static final int MAJOR_VERSION_OFFSET = 6;
  private static final int FIRST_FRAMES_VERSION = 50;

  /** Remembers the bytecode offset of every label it makes, which ASM keeps to itself. */
  private static final class OffsetReader extends ClassReader {
    final Map<Label, Integer> offsets = new IdentityHashMap<>();

    OffsetReader(byte[] bytes) {
      super(bytes);
    }

    @Override
    protected Label readLabel(int bytecodeOffset, Label[] labels) {
      Label label = super.readLabel(bytecodeOffset, labels);
      offsets.put(label, bytecodeOffset);
      return label;
    }
  }

  private static String frameLines(String relative, OffsetReader reader) {
    if (reader.readUnsignedShort(MAJOR_VERSION_OFFSET) < FIRST_FRAMES_VERSION) return "";
    StringBuilder text = new StringBuilder("C\t").append(relative).append('\n');
    reader.accept(new ClassVisitor(Opcodes.ASM9) {
      @Override
      public MethodVisitor visitMethod(int access, String name, String descriptor, String signature,
          String[] exceptions) {
        return new MethodVisitor(Opcodes.ASM9) {
          // ASM visits the label at a frame's offset just before the frame.
          private int offset = -1;

          @Override
          public void visitCode() {
            text.append("M\t").append(name).append(descriptor).append('\n');
          }

          @Override
          public void visitLabel(Label label) {
            offset = reader.offsets.get(label);
          }

          @Override
          public void visitFrame(int type, int numLocal, Object[] local, int numStack, Object[] stack) {
            text.append("F\t").append(offset).append('\t');
            appendTypes(text, numLocal, local, reader.offsets);
            text.append('\t');
            appendTypes(text, numStack, stack, reader.offsets);
            text.append('\n');
          }
        };
      }
    }, ClassReader.EXPAND_FRAMES);
    return text.toString();
  }

  private static final long FNV_OFFSET = 0xcbf29ce484222325L;
  private static final long FNV_PRIME = 0x100000001b3L;

  private static String instructionLines(String relative, ClassReader reader) {
    StringBuilder text = new StringBuilder("C\t").append(relative).append('\n');
    reader.accept(new ClassVisitor(Opcodes.ASM9) {
      @Override
      public MethodVisitor visitMethod(int access, String name, String descriptor, String signature,
          String[] exceptions) {
        return new MethodVisitor(Opcodes.ASM9) {
          private boolean hasCode;
          private int count;
          private long hash = FNV_OFFSET;

          private void instruction(int opcode) {
            count++;
            hash = (hash ^ opcode) * FNV_PRIME;
          }

          @Override
          public void visitCode() {
            hasCode = true;
          }

          @Override
          public void visitInsn(int opcode) {
            instruction(opcode);
          }

          @Override
          public void visitIntInsn(int opcode, int operand) {
            instruction(opcode);
          }

          @Override
          public void visitVarInsn(int opcode, int varIndex) {
            instruction(opcode);
          }

          @Override
          public void visitTypeInsn(int opcode, String type) {
            instruction(opcode);
          }

          @Override
          public void visitFieldInsn(int opcode, String owner, String fieldName, String fieldDescriptor) {
            instruction(opcode);
          }

          @Override
          public void visitMethodInsn(int opcode, String owner, String methodName, String methodDescriptor,
              boolean isInterface) {
            instruction(opcode);
          }

          @Override
          public void visitInvokeDynamicInsn(String methodName, String methodDescriptor, Handle bootstrap,
              Object... arguments) {
            instruction(Opcodes.INVOKEDYNAMIC);
          }

          @Override
          public void visitJumpInsn(int opcode, Label label) {
            instruction(opcode);
          }

          @Override
          public void visitLdcInsn(Object value) {
            instruction(Opcodes.LDC);
          }

          @Override
          public void visitIincInsn(int varIndex, int increment) {
            instruction(Opcodes.IINC);
          }

          @Override
          public void visitTableSwitchInsn(int min, int max, Label dflt, Label... labels) {
            instruction(Opcodes.TABLESWITCH);
          }

          @Override
          public void visitLookupSwitchInsn(Label dflt, int[] keys, Label[] labels) {
            instruction(Opcodes.LOOKUPSWITCH);
          }

          @Override
          public void visitMultiANewArrayInsn(String arrayDescriptor, int numDimensions) {
            instruction(Opcodes.MULTIANEWARRAY);
          }

          @Override
          public void visitEnd() {
            if (!hasCode) return;
            text.append("M\t").append(name).append(descriptor).append('\t').append(count).append('\t')
                .append(Long.toHexString(hash)).append('\n');
          }
        };
      }
    }, ClassReader.SKIP_DEBUG | ClassReader.SKIP_FRAMES);
    return text.toString();
  }

  private static void appendTypes(StringBuilder text, int count, Object[] types, Map<Label, Integer> offsets) {
    for (int i = 0; i < count; i++) {
      if (i > 0) text.append(' ');
      Object type = types[i];
      if (type instanceof String) {
        text.append('L').append((String) type);
      } else if (type instanceof Label) {
        text.append('u').append(offsets.get(type));
      } else if (type == Opcodes.TOP) {
        text.append('T');
      } else if (type == Opcodes.INTEGER) {
        text.append('I');
      } else if (type == Opcodes.FLOAT) {
        text.append('F');
      } else if (type == Opcodes.DOUBLE) {
        text.append('D');
      } else if (type == Opcodes.LONG) {
        text.append('J');
      } else if (type == Opcodes.NULL) {
        text.append('N');
      } else if (type == Opcodes.UNINITIALIZED_THIS) {
        text.append('U');
      } else {
        throw new IllegalStateException("unknown frame type " + type);
      }
    }
  }
}
